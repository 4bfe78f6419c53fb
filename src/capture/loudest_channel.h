#pragma once

#include <cstdint>

namespace mivo::capture {

// The channel with the most energy. Energies are summed in single precision, in sample order; a
// channel must be strictly louder to displace an earlier one, so ties and NaN energies keep the
// lower channel, and silence picks channel 0.
uint32_t loudestChannel(const float* const* channels, uint32_t channelCount, uint32_t frames);

}  // namespace mivo::capture
