#pragma once

// Audio buffers as the core and a backend hand them to each other. Buffers the platform makes
// (makePCMBuffer) are shared; a backend keeps a scheduled one until it is played or dropped. A
// BorrowedFloatBuffer handed to a tap points into the engine's own memory and is valid only for
// the call it is passed to.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio_format.h"

namespace mivo::platform {

// Non-interleaved PCM audio: one sample array per channel.
class PCMBuffer {
public:
    virtual ~PCMBuffer() = default;

    virtual const AudioFormat& format() const = 0;
    virtual uint32_t frameCapacity() const = 0;
    virtual uint32_t frameLength() const = 0;
    // Clamped to the capacity.
    virtual void setFrameLength(uint32_t frames) = 0;
    // One pointer per channel, or null when the format's samples are not of that type
    // or the buffer has no sample memory.
    virtual float* const* floatChannelData() const = 0;
    virtual int16_t* const* int16ChannelData() const = 0;
};

// A buffer that owns zeroed storage for its whole capacity.
class OwnedPCMBuffer final : public PCMBuffer {
public:
    // Null when the storage cannot be had; never throws.
    static std::shared_ptr<OwnedPCMBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

    OwnedPCMBuffer(const AudioFormat& format, uint32_t frameCapacity, std::unique_ptr<std::byte[]> storage);

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
    std::unique_ptr<std::byte[]> storage_;
    std::vector<void*> channels_;
};

// A view of samples that live elsewhere, for engines that hand out their own memory.
class BorrowedFloatBuffer final : public PCMBuffer {
public:
    BorrowedFloatBuffer(const AudioFormat& format, float* const* channels, uint32_t frames)
        : format_(format), channels_(channels), frames_(frames) {}

    const AudioFormat& format() const override { return format_; }
    uint32_t frameCapacity() const override { return frames_; }
    uint32_t frameLength() const override { return frames_; }
    void setFrameLength(uint32_t frames) override { frames_ = frames; }
    float* const* floatChannelData() const override { return channels_; }
    int16_t* const* int16ChannelData() const override { return nullptr; }

private:
    AudioFormat format_;
    float* const* channels_;
    uint32_t frames_;
};

}  // namespace mivo::platform
