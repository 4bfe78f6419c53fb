#pragma once

#include <array>
#include <cstdint>

namespace mivo::platform::pulse {

// Brings the rendered echo reference from 48 kHz to 16 kHz, one 10 ms frame at a time: a
// linear-phase low-pass (flat to 7 kHz, below -70 dB from 8.9 kHz) and every third sample. Its
// delay is a whole number of output samples, so the reference keeps an exact place in time.
class ReferenceDownsampler {
public:
    static constexpr uint32_t factor = 3;
    static constexpr uint32_t inputLength = 480;
    static constexpr uint32_t outputLength = inputLength / factor;
    // Output sample n holds input sample 3 * (n - delay) at the centre of its filter.
    static constexpr uint32_t delay = 16;

    ReferenceDownsampler();

    void process(const float* input, float* output);
    void reset();

private:
    static constexpr uint32_t taps = 2 * delay * factor + 1;

    std::array<float, taps> coefficients_{};
    // The last taps - 1 inputs of the previous frame, then this frame.
    std::array<float, taps - 1 + inputLength> history_{};
};

}  // namespace mivo::platform::pulse
