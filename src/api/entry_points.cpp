// The C boundary: check pointers, widen counts, call one operation, narrow the result.
// Nothing thrown inside crosses it.
#include "api/handle.h"
#include "mivo_voice_io.h"

namespace {

using mivo::core::VoiceIO;

// Runs `operation` on the handle's instance, holding a reference for the whole call. A handle that
// names no instance gets `unknownHandle`; an operation that throws gets `failed`.
template <typename Result, typename Operation>
Result onInstance(mivo_voice_io* handle, Result unknownHandle, Result failed, Operation operation) noexcept {
    try {
        const std::shared_ptr<VoiceIO> instance = mivo::api::retain(handle);
        if (!instance) return unknownHandle;
        return operation(*instance);
    } catch (...) {
        return failed;
    }
}

}  // namespace

extern "C" {

void mivo_voice_io_destroy(mivo_voice_io* handle) {
    // Calls still inside keep the instance alive until they return; later ones find nothing.
    if (const std::shared_ptr<VoiceIO> instance = mivo::api::release(handle)) instance->stop();
}

int32_t mivo_voice_io_start(mivo_voice_io* handle) {
    return onInstance(handle, -1, -1, [](VoiceIO& voice) { return voice.start() ? 0 : -1; });
}

void mivo_voice_io_stop(mivo_voice_io* handle) {
    onInstance(handle, 0, 0, [](VoiceIO& voice) {
        voice.stop();
        return 0;
    });
}

int32_t mivo_voice_io_read_capture(mivo_voice_io* handle, int16_t* destination, int32_t count,
                                   int32_t timeout_milliseconds) {
    return onInstance(handle, -2, -2, [&](VoiceIO& voice) {
        if (!destination) return -2;
        return static_cast<int32_t>(voice.captureRing().read(destination, count, timeout_milliseconds));
    });
}

int32_t mivo_voice_io_write_playback(mivo_voice_io* handle, const int16_t* source, int32_t frame_count) {
    return onInstance(handle, -1, -1, [&](VoiceIO& voice) {
        if (!source) return -1;
        return voice.writePlayback(source, frame_count);
    });
}

uint64_t mivo_voice_io_played_frames(mivo_voice_io* handle) {
    return onInstance(handle, uint64_t{0}, uint64_t{0}, [](VoiceIO& voice) { return voice.playedFrames(); });
}

int32_t mivo_voice_io_wait_playback(mivo_voice_io* handle) {
    return onInstance(handle, -1, -1, [](VoiceIO& voice) { return voice.waitForPlayback(); });
}

int32_t mivo_voice_io_interrupt_playback(mivo_voice_io* handle) {
    return onInstance(handle, -1, -1, [](VoiceIO& voice) {
        voice.interruptPlayback();
        return 0;
    });
}

int32_t mivo_voice_io_copy_last_error(mivo_voice_io* handle, char* destination, int32_t capacity) {
    return onInstance(handle, 0, 0, [&](VoiceIO& voice) {
        if (!destination) return 0;
        return static_cast<int32_t>(voice.copyLastError(destination, capacity));
    });
}

}  // extern "C"
