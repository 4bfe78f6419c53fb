#pragma once

#include <cstdint>

namespace mivo::platform::pulse {

// The engine mixes and plays at this rate, in 10 ms frames of 32-bit float; so do the players'
// buffers, and without voice processing the record stream too.
inline constexpr uint32_t renderRate = 48000;
inline constexpr uint32_t renderFrameLength = renderRate / 100;
// With voice processing on, the engine records at this rate, one channel, in 10 ms frames, and the
// processed voice leaves at the same rate: all the host hears.
inline constexpr uint32_t voiceRate = 16000;
inline constexpr uint32_t voiceFrameLength = voiceRate / 100;

}  // namespace mivo::platform::pulse
