#pragma once

// The processor as it was at dcb27c1, kept for the offline comparison: it worked at 48 kHz.
#include <cstdint>

namespace mivo::offline::baseline {
inline constexpr uint32_t processingRate = 48000;
inline constexpr uint32_t processingFrameLength = processingRate / 100;
}  // namespace mivo::offline::baseline
