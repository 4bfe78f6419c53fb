#include "mivo_duplex/check/check_session.h"

#include <mivo_voice_io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

namespace mivo::duplex::check {

namespace {

constexpr int32_t playbackChunk = 4800;  // 100 ms at 48 kHz
constexpr int32_t captureChunk = 160;    // 10 ms at 16 kHz: deliveries timed finely

struct VoiceDeleter {
    void operator()(mivo_voice_io* voice) const { mivo_voice_io_destroy(voice); }
};

std::string lastError(mivo_voice_io* voice) {
    char text[512];
    mivo_voice_io_copy_last_error(voice, text, static_cast<int32_t>(sizeof text));
    return text;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads the library's capture until the far end has been heard out; false when capture ended.
bool readCapture(mivo_voice_io* voice, const SessionPlan& plan, const Talkers& talkers, PlainRecorder& recorder,
                 SessionRecording& recording, std::string& failure) {
    std::vector<int16_t> chunk(captureChunk);
    bool talked = !plan.doubleTalk;
    bool prompted = !plan.doubleTalk || !plan.talkerDevice.empty();
    const double end = SessionTimes::farEnd + 0.5;
    while (secondsSince(recording.playbackStart) < end) {
        const double at = secondsSince(recording.playbackStart);
        if (!prompted && at >= SessionTimes::nearStart - 1.5) {
            std::fprintf(stderr, "Please speak now, for about 3 seconds, over the voice you hear...\n");
            prompted = true;
        }
        if (!talked && at >= SessionTimes::nearStart) {
            talked = true;
            recording.nearStart = Clock::now();
            recording.nearEnd = recording.nearStart + std::chrono::milliseconds(
                                                          static_cast<int>(SessionTimes::nearLength * 1000));
            if (!plan.talkerDevice.empty() && !recorder.play(plan.talkerDevice, talkers.nearEnd, failure)) return false;
        }
        const int32_t got = mivo_voice_io_read_capture(voice, chunk.data(), captureChunk, 100);
        if (got < 0) {
            failure = "the library's capture ended: " + lastError(voice);
            return false;
        }
        recording.library.insert(recording.library.end(), chunk.begin(), chunk.begin() + got);
        if (got > 0) recording.libraryDeliveries.push_back({static_cast<int64_t>(recording.library.size()), Clock::now()});
    }
    return true;
}

}  // namespace

bool recordSession(const SessionPlan& plan, const Talkers& talkers, SessionRecording& recording, std::string& failure) {
    PlainRecorder recorder;
    if (!recorder.start(plan.speakerMonitor, plan.rawMicrophone, failure)) return false;
    recording.recordingStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(SessionTimes::quietBefore));

    std::unique_ptr<mivo_voice_io, VoiceDeleter> voice(mivo_voice_io_create());
    if (mivo_voice_io_start(voice.get()) != 0) {
        failure = lastError(voice.get());
        return false;
    }
    recording.library.reserve(static_cast<size_t>((SessionTimes::farEnd + 2.0) * 16000));
    recording.playbackStart = Clock::now();
    recording.nearStart = recording.nearEnd = recording.playbackStart;
    std::atomic<bool> finishing{false};
    std::thread writer([&] {
        const std::vector<int16_t>& far = talkers.farEnd;
        for (size_t offset = 0; offset < far.size() && !finishing.load(); offset += playbackChunk) {
            const auto count = static_cast<int32_t>(std::min<size_t>(playbackChunk, far.size() - offset));
            if (mivo_voice_io_write_playback(voice.get(), far.data() + offset, count) != 1) break;
        }
    });
    const bool read = readCapture(voice.get(), plan, talkers, recorder, recording, failure);
    finishing.store(true);
    mivo_voice_io_interrupt_playback(voice.get());
    mivo_voice_io_stop(voice.get());
    writer.join();
    if (!read) return false;
    return recorder.finish(recording.raw, failure);
}

}  // namespace mivo::duplex::check
