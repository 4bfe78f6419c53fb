#pragma once

// Where a known signal starts inside a recording, by FFT cross-correlation.

#include <vector>

namespace mivo::room {

// The offset in `recording` at which `signal` correlates best, or -1 when the recording is
// shorter than the signal. `prominence` gets the peak over the correlation's RMS, so that a
// caller can tell a real find from a guess in noise.
long locateSignal(const std::vector<float>& recording, const std::vector<float>& signal, double* prominence);

}  // namespace mivo::room
