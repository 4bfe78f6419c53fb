#pragma once

// Sample access shared by the capture path's converters.

#include <cstddef>
#include <cstdint>

#include "platform/pcm_buffer.h"

namespace mivo::platform::pulse {

inline size_t sampleSize(CommonFormat format) {
    return format == CommonFormat::int16 ? sizeof(int16_t) : sizeof(float);
}

// Null when the buffer has no sample memory of its format's type.
inline const void* channelData(const PCMBuffer& buffer, uint32_t channel) {
    if (buffer.format().commonFormat == CommonFormat::int16) {
        int16_t* const* data = buffer.int16ChannelData();
        return data ? data[channel] : nullptr;
    }
    float* const* data = buffer.floatChannelData();
    return data ? data[channel] : nullptr;
}

}  // namespace mivo::platform::pulse
