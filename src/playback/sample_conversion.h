#pragma once

#include <cstddef>
#include <cstdint>

namespace mivo::playback {

// Host frames to the player's float samples: exactly sample * 2^-15, no clamping or dither,
// so -32768 maps to -1.0 and 32767 to 0.999969482421875.
inline void int16ToFloat(const int16_t* source, float* destination, size_t count) {
    constexpr float scale = 1.0f / 32768.0f;
    for (size_t i = 0; i < count; ++i) destination[i] = static_cast<float>(source[i]) * scale;
}

}  // namespace mivo::playback
