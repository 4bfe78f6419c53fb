#pragma once

// Tests build the buffers they deliver and read the ones the core hands over, in any shape.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio_platform.h"

namespace mivo::testing {

using platform::AudioFormat;
using platform::PCMBuffer;

// A PCM buffer of any shape, including ones the real platform would refuse: 0 channels, or no
// sample memory at all (both data accessors answer null).
class ScriptedPCMBuffer final : public PCMBuffer {
public:
    ScriptedPCMBuffer(const AudioFormat& format, uint32_t frameCapacity, bool withSampleMemory = true);
    // Float samples, one vector per channel (all of the first one's length), frame length set.
    static std::shared_ptr<ScriptedPCMBuffer> fromChannels(const AudioFormat& format,
                                                           const std::vector<std::vector<float>>& channels);

    const AudioFormat& format() const override { return format_; }
    uint32_t frameCapacity() const override { return capacity_; }
    uint32_t frameLength() const override { return length_; }
    void setFrameLength(uint32_t frames) override { length_ = frames < capacity_ ? frames : capacity_; }
    float* const* floatChannelData() const override;
    int16_t* const* int16ChannelData() const override;

private:
    AudioFormat format_;
    uint32_t capacity_;
    uint32_t length_ = 0;
    bool hasMemory_;
    std::vector<std::vector<float>> floats_;
    std::vector<std::vector<int16_t>> ints_;
    std::vector<float*> floatPointers_;
    std::vector<int16_t*> intPointers_;
};

// The first frameLength samples of one channel; empty when the buffer has no data of that type.
std::vector<float> floatSamples(const PCMBuffer& buffer, uint32_t channel = 0);
std::vector<int16_t> int16Samples(const PCMBuffer& buffer, uint32_t channel = 0);

}  // namespace mivo::testing
