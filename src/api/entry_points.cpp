// The C boundary: check pointers, widen counts, call one operation, narrow the result.
// Nothing thrown inside may cross it.
#include "api/handle.h"
#include "mivo_voice_io.h"

using mivo::api::retain;

extern "C" {

void mivo_voice_io_destroy(mivo_voice_io* handle) {
    if (!handle) return;
    try {
        handle->instance->stop();
    } catch (...) {
    }
    delete handle;
}

int32_t mivo_voice_io_start(mivo_voice_io* handle) {
    auto instance = retain(handle);
    if (!instance) return -1;
    return instance->start() ? 0 : -1;
}

void mivo_voice_io_stop(mivo_voice_io* handle) {
    auto instance = retain(handle);
    if (!instance) return;
    try {
        instance->stop();
    } catch (...) {
    }
}

int32_t mivo_voice_io_read_capture(mivo_voice_io* handle, int16_t* destination, int32_t count,
                                   int32_t timeout_milliseconds) {
    auto instance = retain(handle);
    if (!instance) return -2;
    if (!destination) return -2;
    return static_cast<int32_t>(instance->captureRing().read(destination, count, timeout_milliseconds));
}

int32_t mivo_voice_io_write_playback(mivo_voice_io* handle, const int16_t* source, int32_t frame_count) {
    auto instance = retain(handle);
    if (!instance) return -1;
    if (!source) return -1;
    try {
        return instance->writePlayback(source, frame_count);
    } catch (...) {
        return -1;
    }
}

uint64_t mivo_voice_io_played_frames(mivo_voice_io* handle) {
    auto instance = retain(handle);
    if (!instance) return 0;
    return instance->playedFrames();
}

int32_t mivo_voice_io_wait_playback(mivo_voice_io* handle) {
    auto instance = retain(handle);
    if (!instance) return -1;
    try {
        return instance->waitForPlayback();
    } catch (...) {
        return -1;
    }
}

int32_t mivo_voice_io_interrupt_playback(mivo_voice_io* handle) {
    auto instance = retain(handle);
    if (!instance) return -1;
    try {
        instance->interruptPlayback();
    } catch (...) {
    }
    return 0;
}

int32_t mivo_voice_io_copy_last_error(mivo_voice_io* handle, char* destination, int32_t capacity) {
    auto instance = retain(handle);
    if (!instance) return 0;
    if (!destination) return 0;
    try {
        return static_cast<int32_t>(instance->copyLastError(destination, capacity));
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
