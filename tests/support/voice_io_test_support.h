#pragma once

// Small helpers shared by the suites that drive a VoiceIO on the scripted platform.
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "core/voice_io.h"
#include "support/scripted_platform.h"

namespace mivo::testing {

// Far below the long timeouts the tests use: a call that waits for its deadline fails the bound.
inline constexpr auto promptly = std::chrono::seconds(5);
inline constexpr int64_t longTimeoutMs = 30000;

inline const std::string startPrefix = "Unable to start VoiceProcessingIO: ";
inline const std::string configurationChanged = "The macOS audio device configuration changed";

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
