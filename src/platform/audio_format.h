#pragma once

#include <cstdint>

namespace mivo::platform {

enum class CommonFormat : uint32_t {
    float32 = 1,
    int16 = 3,
};

// A PCM stream description. Plain value: formats compare by content.
struct AudioFormat {
    CommonFormat commonFormat = CommonFormat::float32;
    double sampleRate = 0.0;
    uint32_t channelCount = 0;
    bool interleaved = false;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// 32-bit float, non-interleaved: the format every node speaks natively.
inline AudioFormat standardFormat(double sampleRate, uint32_t channels) {
    return AudioFormat{CommonFormat::float32, sampleRate, channels, false};
}

}  // namespace mivo::platform
