#pragma once

// FFT workhorses of the check (FFTW underneath), on float signals at one rate.

#include <cstddef>
#include <vector>

namespace mivo::duplex::check {

struct ImpulseEstimate {
    std::vector<double> response;  // taps; a pure delay of gain g peaks at g
    std::vector<double> spread;    // a pure delay of gain 1 through the same band, -near..+near taps
};

// Least-squares estimate of the path from `in` to `out` (the same length), `length` taps long,
// over the band `in` really carries (speech leaves parts of the band empty). Empty when `in`
// is silent.
ImpulseEstimate estimateImpulseResponse(const float* in, const float* out, size_t count, size_t length, size_t near);

// Lag in [0, maxLag) at which `out` repeats `in` best, by phase-only correlation (a sharp peak
// even for speech).
size_t strongestLag(const float* in, const float* out, size_t count, size_t maxLag);

// Plain cross-correlation of `b` against `a`: element k + maxLag is sum a[i] * b[i + k] for
// k in [-maxLag, maxLag].
std::vector<double> crossCorrelation(const std::vector<float>& a, const std::vector<float>& b, size_t maxLag);

// `signal` through the filter `taps`, as long as `signal`.
std::vector<float> convolve(const std::vector<float>& signal, const std::vector<double>& taps);

}  // namespace mivo::duplex::check
