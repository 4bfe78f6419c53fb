#pragma once

// The reads and samples both ring buffer suites check with; the threaded cases live apart so that
// neither file grows past what can be read at once.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <vector>

#include "capture/int16_ring_buffer.h"

namespace mivo::capture::ring_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous bound for "returns at once / well before its deadline": far below the deadlines used,
// so a regression that waits for the deadline fails, while a slow machine does not.
inline constexpr auto promptly = 5s;
inline constexpr int64_t longTimeoutMs = 30000;
inline constexpr int16_t sentinel = -12345;

// Sample number i as stored: distinct for any 65536 consecutive numbers.
inline int16_t sampleOf(int64_t i) { return static_cast<int16_t>(static_cast<uint16_t>(i)); }

inline std::vector<int16_t> sequence(int64_t first, int64_t count) {
    std::vector<int16_t> samples(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) samples[static_cast<size_t>(i)] = sampleOf(first + i);
    return samples;
}

inline void write(Int16RingBuffer& ring, const std::vector<int16_t>& samples) {
    ring.write(samples.data(), static_cast<int64_t>(samples.size()));
}

// Reads with the given timeout; the samples copied, or the code with nothing copied.
struct ReadResult {
    int64_t result;
    std::vector<int16_t> samples;
    bool untouchedBeyondResult;
};

inline ReadResult read(Int16RingBuffer& ring, int64_t count, int64_t timeoutMs) {
    std::vector<int16_t> destination(static_cast<size_t>(std::max<int64_t>(count, 0)) + 1, sentinel);
    const int64_t result = ring.read(destination.data(), count, timeoutMs);
    const auto copied = static_cast<size_t>(std::max<int64_t>(result, 0));
    const bool untouched =
        std::all_of(destination.begin() + static_cast<ptrdiff_t>(copied), destination.end(),
                    [](int16_t s) { return s == sentinel; });
    return {result, std::vector<int16_t>(destination.begin(), destination.begin() + static_cast<ptrdiff_t>(copied)),
            untouched};
}

// Runs a read on another thread so that a read that never returns fails the test instead of hanging it.
inline std::future<ReadResult> readAsync(Int16RingBuffer& ring, int64_t count, int64_t timeoutMs) {
    return std::async(std::launch::async, [&ring, count, timeoutMs] { return read(ring, count, timeoutMs); });
}

}  // namespace mivo::capture::ring_test
