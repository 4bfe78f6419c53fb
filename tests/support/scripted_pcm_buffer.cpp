// Sample memory is allocated up front, so that the data accessors never move under the core.

#include "support/scripted_pcm_buffer.h"

#include <algorithm>

namespace mivo::testing {

using platform::CommonFormat;

ScriptedPCMBuffer::ScriptedPCMBuffer(const AudioFormat& format, uint32_t frameCapacity, bool withSampleMemory)
    : format_(format), capacity_(frameCapacity), hasMemory_(withSampleMemory) {
    // At least one pointer slot, so a 0-channel buffer still has (empty) channel data.
    const size_t slots = std::max<size_t>(format.channelCount, 1);
    floatPointers_.assign(slots, nullptr);
    intPointers_.assign(slots, nullptr);
    if (!withSampleMemory) return;
    for (uint32_t c = 0; c < format.channelCount; ++c) {
        if (format.commonFormat == CommonFormat::int16) {
            ints_.emplace_back(frameCapacity, int16_t{0});
            intPointers_[c] = ints_.back().data();
        } else {
            floats_.emplace_back(frameCapacity, 0.0f);
            floatPointers_[c] = floats_.back().data();
        }
    }
}

std::shared_ptr<ScriptedPCMBuffer> ScriptedPCMBuffer::fromChannels(const AudioFormat& format,
                                                                   const std::vector<std::vector<float>>& channels) {
    const auto frames = static_cast<uint32_t>(channels.empty() ? 0 : channels.front().size());
    auto buffer = std::make_shared<ScriptedPCMBuffer>(format, frames);
    for (size_t c = 0; c < buffer->floats_.size() && c < channels.size(); ++c) {
        std::copy_n(channels[c].begin(), std::min<size_t>(frames, channels[c].size()), buffer->floats_[c].begin());
    }
    buffer->setFrameLength(frames);
    return buffer;
}

float* const* ScriptedPCMBuffer::floatChannelData() const {
    if (!hasMemory_ || format_.commonFormat != CommonFormat::float32) return nullptr;
    return floatPointers_.data();
}

int16_t* const* ScriptedPCMBuffer::int16ChannelData() const {
    if (!hasMemory_ || format_.commonFormat != CommonFormat::int16) return nullptr;
    return intPointers_.data();
}

std::vector<float> floatSamples(const PCMBuffer& buffer, uint32_t channel) {
    float* const* data = buffer.floatChannelData();
    if (!data || channel >= buffer.format().channelCount) return {};
    return std::vector<float>(data[channel], data[channel] + buffer.frameLength());
}

std::vector<int16_t> int16Samples(const PCMBuffer& buffer, uint32_t channel) {
    int16_t* const* data = buffer.int16ChannelData();
    if (!data || channel >= buffer.format().channelCount) return {};
    return std::vector<int16_t>(data[channel], data[channel] + buffer.frameLength());
}

}  // namespace mivo::testing
