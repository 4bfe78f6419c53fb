#pragma once

// How loud a tone is in what the library captured, and a read that waits for it to be heard:
// shared by the end-to-end suites, which all judge capture by the same measures.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "private_pulse_daemon.h"
#include "pulse_test_support.h"
#include "voice_handle.h"

namespace mivo::testing {

inline double level(const std::vector<int16_t>& samples, double frequency, size_t from = 0) {
    return toneAmplitude(samples.data() + from, samples.size() - from, frequency, 16000.0) / 32768.0;
}

// What a tone sounds at in most of the samples; `level` stays the test for absence, anywhere.
inline double typicalLevel(const std::vector<int16_t>& samples, double frequency, size_t from = 0) {
    return typicalToneAmplitude(samples.data() + from, samples.size() - from, frequency, 16000.0) / 32768.0;
}

// Reads until a tone of `frequency` is heard at half of `amplitude` (a fresh server may start its
// graph a little late), then `count` samples; empty when it is not heard within `limit`.
inline std::vector<int16_t> readOnceHeard(const Handle& voice, double frequency, double amplitude, size_t count,
                                          std::chrono::milliseconds limit = 3s) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        const auto chunk = voice.read(1600);
        if (chunk.size() < 1600) return {};
        if (level(chunk, frequency) >= amplitude / 2) return voice.read(count);
    }
    return {};
}

}  // namespace mivo::testing
