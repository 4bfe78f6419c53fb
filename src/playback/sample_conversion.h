#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mivo::playback {

// Host frames to the player's float samples: exactly sample * 2^-15, no clamping or dither,
// so -32768 maps to -1.0 and 32767 to 0.999969482421875. The host's native-endian int16 samples
// may sit at any address, so each is copied out byte-wise rather than read as an int16_t.
inline void int16ToFloat(const void* source, float* destination, size_t count) {
    constexpr float scale = 1.0f / 32768.0f;
    const auto* bytes = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i) {
        int16_t sample;
        std::memcpy(&sample, bytes + i * sizeof sample, sizeof sample);
        destination[i] = static_cast<float>(sample) * scale;
    }
}

}  // namespace mivo::playback
