#pragma once

// The sample-rate converter of the capture path. The core makes one per run and calls convert
// from the engine's tap only, one call at a time, so a converter needs no locking; convert must
// neither allocate nor block, and the buffers the input block returns stay the core's.

#include <cstdint>
#include <optional>

#include "platform/function_ref.h"
#include "platform/pcm_buffer.h"
#include "platform/platform_error.h"

namespace mivo::platform {

enum class ConverterInputStatus : int32_t {
    haveData = 0,
    noDataNow = 1,
    endOfStream = 2,
};

enum class ConverterOutputStatus : int32_t {
    haveData = 0,
    inputRanDry = 1,
    endOfStream = 2,
    error = 3,
};

// Answers the converter's request for more input: a buffer, or null with a status saying why not.
using ConverterInputBlock = FunctionRef<PCMBuffer*(uint32_t packetCount, ConverterInputStatus& status)>;

// Streaming sample-rate and sample-type converter; its state carries from one call to the next.
class AudioConverter {
public:
    virtual ~AudioConverter() = default;

    // Fills `output` (frame length set to what was produced), pulling input through `input`
    // as often as it needs. On error the status is `error` and `error` may hold a description.
    virtual ConverterOutputStatus convert(PCMBuffer& output, std::optional<PlatformError>& error,
                                          ConverterInputBlock input) = 0;
};

}  // namespace mivo::platform
