#pragma once

#include <cstdint>

namespace mivo::platform::pulse {

// The engine works in 10 ms frames of 32-bit float at this rate on both paths: the record and
// playback streams, the players' buffers and the voice-processing stage.
inline constexpr uint32_t processingRate = 48000;
inline constexpr uint32_t processingFrameLength = processingRate / 100;

}  // namespace mivo::platform::pulse
