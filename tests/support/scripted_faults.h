#pragma once

// Failures a test arms ahead of time, counted per call so that one chosen call can fail.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_platform.h"

namespace mivo::testing {

using platform::AudioFormat;

// Which calls of an operation a fault applies to, counted from the moment the fault is set.
struct Calls {
    size_t skip = 0;                                    // calls that still succeed first
    size_t count = std::numeric_limits<size_t>::max();  // then this many are affected

    static Calls all() { return {}; }
    static Calls nth(size_t index) { return {index, 1}; }  // 0 = the next call
    static Calls first(size_t n) { return {0, n}; }
};

enum class BufferFault {
    null,            // makePCMBuffer yields nothing
    noSampleMemory,  // a buffer whose floatChannelData and int16ChannelData are null
};

// A makePCMBuffer fault, optionally only for buffers of one capacity and/or format; `calls` counts
// only the matching requests.
struct PCMBufferFault {
    BufferFault kind = BufferFault::null;
    std::optional<uint32_t> capacity;
    std::optional<AudioFormat> format;
    Calls calls;
};

namespace detail {

struct DescribedFault {
    std::string description;
    Calls calls;
};

// The counting every faulty operation shares.
bool takeCall(Calls& calls);
bool anyFault(std::vector<Calls>& faults);
std::optional<std::string> describedFault(std::vector<DescribedFault>& faults);

}  // namespace detail

}  // namespace mivo::testing
