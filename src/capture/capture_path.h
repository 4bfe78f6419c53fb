#pragma once

#include <cstdint>
#include <memory>

#include "base/atomic_shared.h"
#include "base/last_error.h"
#include "capture/int16_ring_buffer.h"
#include "platform/audio_platform.h"

namespace mivo::testing {
struct VoiceIOProbe;
}

namespace mivo::capture {

inline constexpr int64_t captureRingCapacity = 80000;  // 5 s at 16 kHz

// Working buffers of one installed tap, reused from one tap buffer to the next while their sizes
// stay the same. Touched only by that tap, which the platform never runs concurrently.
struct CaptureScratch {
    std::shared_ptr<platform::PCMBuffer> mono;
    std::shared_ptr<platform::PCMBuffer> output;
};

// From the input tap to the host: each tap buffer's loudest channel, converted to 16 kHz mono
// int16, goes into the ring that the host reads.
class CapturePath {
public:
    CapturePath(platform::AudioPlatform& platform, base::LastError& lastError);

    Int16RingBuffer& captureRing() { return captureRing_; }
    const platform::AudioFormat& captureFormat() const { return captureFormat_; }

    // Set by start before the engine runs; cleared by stop once the tap is gone.
    void useConverter(std::shared_ptr<platform::AudioConverter> converter,
                      std::shared_ptr<const platform::AudioFormat> converterInputFormat);
    void releaseConverter() noexcept;

    // One input-tap buffer, on the platform's capture thread. A platform call that throws loses
    // that buffer only.
    void processCapture(const platform::PCMBuffer& buffer, CaptureScratch& scratch) noexcept;

private:
    void convertIntoRing(const platform::PCMBuffer& buffer, CaptureScratch& scratch);

    friend struct testing::VoiceIOProbe;  // reads the private state in tests

    platform::AudioPlatform& platform_;
    base::LastError& lastError_;
    Int16RingBuffer captureRing_;
    const platform::AudioFormat captureFormat_;
    base::AtomicShared<platform::AudioConverter> captureConverter_;
    base::AtomicShared<const platform::AudioFormat> captureConverterInputFormat_;
};

}  // namespace mivo::capture
