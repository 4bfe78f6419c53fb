#include "platform/pulse/reference_downsampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace mivo::platform::pulse {

namespace {

// Zeroth-order modified Bessel function of the first kind, for the Kaiser window.
double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

}  // namespace

ReferenceDownsampler::ReferenceDownsampler() {
    // Windowed sinc, cut off at 7.95 kHz of 48 kHz; the Kaiser window's beta of 7 buys about 70 dB
    // of stop band over the transition this length allows.
    constexpr double cutoff = 7950.0 / 48000.0;
    constexpr double beta = 7.0;
    const double center = (taps - 1) / 2.0;
    double sum = 0.0;
    for (uint32_t i = 0; i < taps; ++i) {
        const double t = i - center;
        const double sinc = t == 0.0 ? 2.0 * cutoff : std::sin(2.0 * std::numbers::pi * cutoff * t) / (std::numbers::pi * t);
        const double ratio = t / center;
        const double window = besselI0(beta * std::sqrt(1.0 - ratio * ratio)) / besselI0(beta);
        coefficients_[i] = static_cast<float>(sinc * window);
        sum += sinc * window;
    }
    for (float& c : coefficients_) c = static_cast<float>(c / sum);
}

void ReferenceDownsampler::process(const float* input, float* output) {
    std::copy(input, input + inputLength, history_.begin() + (taps - 1));
    for (uint32_t n = 0; n < outputLength; ++n) {
        // History index 3n + (taps - 1) / 2 is input 3 (n - delay) of this frame: the window's centre.
        const float* window = history_.data() + n * factor;
        float acc = 0.0f;
        for (uint32_t k = 0; k < taps; ++k) acc += coefficients_[k] * window[k];
        output[n] = acc;
    }
    std::copy(history_.end() - (taps - 1), history_.end(), history_.begin());
}

void ReferenceDownsampler::reset() { history_.fill(0.0f); }

}  // namespace mivo::platform::pulse
