#include "capture/capture_path.h"

#include <cmath>
#include <cstring>
#include <optional>

#include "base/error_texts.h"
#include "capture/loudest_channel.h"

namespace mivo::capture {

using platform::AudioFormat;
using platform::PCMBuffer;

namespace {

// Reuses the cached buffer while its format and capacity still fit, so that the steady state
// allocates nothing on the capture thread.
std::shared_ptr<PCMBuffer> reusableBuffer(platform::AudioPlatform& platform, std::shared_ptr<PCMBuffer>& cached,
                                          const AudioFormat& format, uint32_t capacity) {
    if (!cached || cached->frameCapacity() != capacity || !(cached->format() == format)) {
        cached = platform.makePCMBuffer(format, capacity);
    }
    return cached;
}

}  // namespace

CapturePath::CapturePath(platform::AudioPlatform& platform, base::LastError& lastError)
    : platform_(platform),
      lastError_(lastError),
      captureRing_(captureRingCapacity),
      captureFormat_{platform::CommonFormat::int16, 16000.0, 1, false} {}

void CapturePath::useConverter(std::shared_ptr<platform::AudioConverter> converter,
                               std::shared_ptr<const AudioFormat> converterInputFormat) {
    captureConverter_.store(std::move(converter));
    captureConverterInputFormat_.store(std::move(converterInputFormat));
}

void CapturePath::releaseConverter() noexcept {
    captureConverter_.reset();
    captureConverterInputFormat_.reset();
}

void CapturePath::processCapture(const PCMBuffer& buffer, CaptureScratch& scratch) noexcept {
    try {
        convertIntoRing(buffer, scratch);
    } catch (...) {
        // Nothing of it reached the ring; the working buffers are made afresh for the next one.
        scratch = {};
    }
}

void CapturePath::convertIntoRing(const PCMBuffer& buffer, CaptureScratch& scratch) {
    const std::shared_ptr<platform::AudioConverter> converter = captureConverter_.load();
    const std::shared_ptr<const AudioFormat> monoFormat = captureConverterInputFormat_.load();
    if (!converter || !monoFormat) return;

    float* const* channels = buffer.floatChannelData();
    if (!channels) return;
    const uint32_t frames = buffer.frameLength();
    const uint32_t channelCount = buffer.format().channelCount;
    if (frames == 0 || channelCount == 0) return;

    const uint32_t chosen = loudestChannel(channels, channelCount, frames);

    const std::shared_ptr<PCMBuffer> mono = reusableBuffer(platform_, scratch.mono, *monoFormat, frames);
    if (!mono) return;
    float* const* monoChannels = mono->floatChannelData();
    if (!monoChannels) {
        scratch.mono.reset();  // unusable: make a new one for the next tap buffer
        return;
    }
    mono->setFrameLength(frames);
    std::memcpy(monoChannels[0], channels[chosen], size_t{frames} * sizeof(float));

    const double capacity = std::ceil(frames * (captureFormat_.sampleRate / buffer.format().sampleRate)) + 8.0;
    // A capacity beyond 32 bits (or not a number) cannot come from a real device: ignore the buffer.
    if (!(capacity >= 0.0 && capacity < 4294967296.0)) return;
    const std::shared_ptr<PCMBuffer> output =
        reusableBuffer(platform_, scratch.output, captureFormat_, static_cast<uint32_t>(capacity));
    if (!output) return;
    output->setFrameLength(0);

    bool inputSupplied = false;
    std::optional<platform::PlatformError> error;
    const platform::ConverterOutputStatus status = converter->convert(
        *output, error, [&](uint32_t, platform::ConverterInputStatus& inputStatus) -> PCMBuffer* {
            if (inputSupplied) {
                inputStatus = platform::ConverterInputStatus::noDataNow;
                return nullptr;
            }
            inputSupplied = true;
            inputStatus = platform::ConverterInputStatus::haveData;
            return mono.get();
        });

    if (status == platform::ConverterOutputStatus::error) {
        if (error) lastError_.set(base::texts::resamplingFailure, error->description);
        return;
    }
    int16_t* const* samples = output->int16ChannelData();
    if (!samples) {
        scratch.output.reset();
        return;
    }
    if (output->frameLength() > 0) captureRing_.write(samples[0], output->frameLength());
}

}  // namespace mivo::capture
