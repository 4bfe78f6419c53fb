#include "platform/pcm_buffer.h"

#include <limits>
#include <new>

namespace mivo::platform {

namespace {

size_t bytesPerSample(const AudioFormat& format) {
    return format.commonFormat == CommonFormat::int16 ? sizeof(int16_t) : sizeof(float);
}

// Beyond this a single buffer is refused rather than risk exhausting the host's memory:
// 2^28 frames is more than 90 minutes of one 48 kHz channel.
constexpr uint64_t maximumSamples = uint64_t{1} << 28;

}  // namespace

std::shared_ptr<OwnedPCMBuffer> OwnedPCMBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
    if (format.channelCount == 0 || format.interleaved) return nullptr;
    const uint64_t samples = uint64_t{format.channelCount} * frameCapacity;
    if (samples > maximumSamples) return nullptr;
    const size_t bytes = static_cast<size_t>(samples) * bytesPerSample(format);
    std::unique_ptr<std::byte[]> storage(new (std::nothrow) std::byte[bytes == 0 ? 1 : bytes]());
    if (!storage) return nullptr;
    try {
        return std::make_shared<OwnedPCMBuffer>(format, frameCapacity, std::move(storage));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

OwnedPCMBuffer::OwnedPCMBuffer(const AudioFormat& format, uint32_t frameCapacity,
                               std::unique_ptr<std::byte[]> storage)
    : format_(format), capacity_(frameCapacity), storage_(std::move(storage)) {
    const size_t stride = size_t{frameCapacity} * bytesPerSample(format);
    channels_.reserve(format.channelCount);
    for (uint32_t c = 0; c < format.channelCount; ++c) channels_.push_back(storage_.get() + c * stride);
}

float* const* OwnedPCMBuffer::floatChannelData() const {
    if (format_.commonFormat != CommonFormat::float32) return nullptr;
    return reinterpret_cast<float* const*>(channels_.data());
}

int16_t* const* OwnedPCMBuffer::int16ChannelData() const {
    if (format_.commonFormat != CommonFormat::int16) return nullptr;
    return reinterpret_cast<int16_t* const*>(channels_.data());
}

}  // namespace mivo::platform
