#pragma once

// Small helpers shared by the suites that drive a VoiceIO on the scripted platform.
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "base/error_texts.h"
#include "core/voice_io.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"

namespace mivo::testing {

// Far below the long timeouts the tests use: a call that waits for its deadline fails the bound.
inline constexpr auto promptly = std::chrono::seconds(5);
inline constexpr int64_t longTimeoutMs = 30000;

inline const std::string startPrefix(base::texts::startFailure);
inline const std::string configurationChanged(base::texts::configurationChanged);

// A consistent view of an instance's private state.
struct VoiceIOState {
    bool running;
    uint64_t generation;
    int64_t queuedPlaybackFrames;
    uint64_t playedFrames;
    bool hasEngine;
    bool hasPlayer;
    bool hasCaptureConverter;
    bool hasCaptureConverterInputFormat;
    bool hasConfigurationObserver;
    bool tapInstalled;
};

// The friend that the core's classes grant the tests. The engine-object fields are written only by
// start and stop: do not inspect while one of them runs on another thread.
struct VoiceIOProbe {
    static VoiceIOState inspect(core::VoiceIO& voice) {
        VoiceIOState state{};
        const mivo::playback::PlaybackQueue& playback = voice.playback_;
        {
            base::ConditionLock hold(playback.counters_->stateCondition);
            state.running = playback.counters_->running;
            state.generation = playback.counters_->generation;
            state.queuedPlaybackFrames = playback.counters_->queuedPlaybackFrames;
            state.playedFrames = playback.counters_->playedFrames;
        }
        state.hasEngine = static_cast<bool>(voice.engine_);
        state.hasPlayer = static_cast<bool>(playback.player_);
        state.hasCaptureConverter = static_cast<bool>(voice.capture_.captureConverter_);
        state.hasCaptureConverterInputFormat = static_cast<bool>(voice.capture_.captureConverterInputFormat_);
        state.hasConfigurationObserver = voice.configurationObserver_ != nullptr;
        state.tapInstalled = voice.tapInstalled_;
        return state;
    }
    static capture::CapturePath& capturePath(core::VoiceIO& voice) { return voice.capture_; }
    // Only what stateCondition guards, so safe while start or stop runs on another thread.
    static uint64_t generation(core::VoiceIO& voice) {
        auto& counters = *voice.playback_.counters_;
        base::ConditionLock hold(counters.stateCondition);
        return counters.generation;
    }
};

inline VoiceIOState inspect(core::VoiceIO& voice) { return VoiceIOProbe::inspect(voice); }

// Every entry point answers `handle` as it answers NULL, without waiting or touching the buffers.
inline void expectNullHandleAnswers(mivo_voice_io* handle) {
    int16_t samples[4] = {1, 2, 3, 4};
    char text[8] = "abcdefg";
    mivo_voice_io_destroy(handle);
    mivo_voice_io_stop(handle);
    EXPECT_EQ(mivo_voice_io_start(handle), -1);
    EXPECT_EQ(mivo_voice_io_read_capture(handle, samples, 4, 0), -2);
    EXPECT_EQ(mivo_voice_io_read_capture(handle, samples, 4, 30000), -2);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, 4), -1);
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 0u);
    EXPECT_EQ(mivo_voice_io_wait_playback(handle), -1);
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), -1);
    EXPECT_EQ(mivo_voice_io_copy_last_error(handle, text, sizeof text), 0);
    EXPECT_EQ(samples[0], 1);
    EXPECT_STREQ(text, "abcdefg");
}

inline std::string lastError(const core::VoiceIO& voice) {
    std::vector<char> text(4096, '\0');
    voice.copyLastError(text.data(), static_cast<int64_t>(text.size()));
    return text.data();
}

struct CaptureRead {
    int64_t result = 0;
    std::vector<int16_t> samples;  // the samples copied, when result > 0
};

inline CaptureRead readCapture(core::VoiceIO& voice, int64_t count, int64_t timeoutMs = 0) {
    std::vector<int16_t> destination(static_cast<size_t>(count > 0 ? count : 0));
    CaptureRead read;
    read.result = voice.captureRing().read(destination.data(), count, timeoutMs);
    if (read.result > 0) destination.resize(static_cast<size_t>(read.result));
    if (read.result > 0) read.samples = std::move(destination);
    return read;
}

// A read on a thread of its own, so that a read that never returns fails instead of hanging.
inline std::future<CaptureRead> readCaptureAsync(core::VoiceIO& voice, int64_t count, int64_t timeoutMs) {
    return std::async(std::launch::async, [&voice, count, timeoutMs] { return readCapture(voice, count, timeoutMs); });
}

// start, step, start + step, ... : distinct samples that survive the default conversion.
inline std::vector<float> ramp(size_t frames, float start = 0.0f, float step = 1.0f / 8192) {
    std::vector<float> samples(frames);
    for (size_t i = 0; i < frames; ++i) samples[i] = start + step * static_cast<float>(i);
    return samples;
}

}  // namespace mivo::testing
