#pragma once

// A library instance for the device tests, through its C interface, on the PulseAudio platform
// (or on another platform given), with the reads and writes the tests repeat.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "platform/pulse/pulse_platform.h"

namespace mivo::testing {

inline constexpr const char* configurationChanged = "The macOS audio device configuration changed";

class Handle {
public:
    explicit Handle(std::shared_ptr<platform::AudioPlatform> platform = std::make_shared<platform::pulse::PulsePlatform>())
        : handle_(api::createHandle(std::move(platform))) {}
    ~Handle() { mivo_voice_io_destroy(handle_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    mivo_voice_io* get() const { return handle_; }

    std::string lastError() const {
        char text[256];
        const int32_t length = mivo_voice_io_copy_last_error(handle_, text, sizeof(text));
        return std::string(text, static_cast<size_t>(length));
    }

    // Reads `count` samples, or fewer when the capture ends; `end` gets the code that ended it.
    std::vector<int16_t> read(size_t count, int32_t* end = nullptr, int32_t timeoutMilliseconds = 2000) const {
        std::vector<int16_t> samples(count);
        size_t got = 0;
        if (end) *end = 0;
        while (got < count) {
            const int32_t result = mivo_voice_io_read_capture(handle_, samples.data() + got,
                                                              static_cast<int32_t>(count - got), timeoutMilliseconds);
            if (result <= 0) {
                if (end) *end = result;
                break;
            }
            got += static_cast<size_t>(result);
        }
        samples.resize(got);
        return samples;
    }

    // Reads until the capture ends (or `limit` passes); returns the end code.
    int32_t readToEnd(std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::vector<int16_t> scratch(1600);
        while (std::chrono::steady_clock::now() < deadline) {
            const int32_t result = mivo_voice_io_read_capture(handle_, scratch.data(), 1600, 200);
            if (result < 0) return result;
        }
        return 0;
    }

    int32_t write(const std::vector<int16_t>& frames) const {
        return mivo_voice_io_write_playback(handle_, frames.data(), static_cast<int32_t>(frames.size()));
    }

private:
    mivo_voice_io* handle_;
};

inline std::vector<int16_t> toInt16(const std::vector<float>& samples) {
    std::vector<int16_t> frames(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) frames[i] = static_cast<int16_t>(std::lround(samples[i] * 32767.0f));
    return frames;
}

}  // namespace mivo::testing
