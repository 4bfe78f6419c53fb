#include "platform/pulse/same_rate_converter.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/pulse/converter_buffers.h"

namespace mivo::platform::pulse {

namespace {

// Input that did not fit the output waits here; the capture path's output always has room, so
// this much is never outgrown in practice.
constexpr size_t heldFramesReserved = 4800;

float sampleAt(const void* channel, CommonFormat format, size_t frame) {
    if (format == CommonFormat::int16) return static_cast<float>(static_cast<const int16_t*>(channel)[frame]) / 32768.0f;
    return static_cast<const float*>(channel)[frame];
}

int16_t toInt16(float sample) {
    if (std::isnan(sample)) return 0;
    const double scaled = std::rint(static_cast<double>(sample) * 32768.0);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

class SameRateConverter final : public AudioConverter {
public:
    SameRateConverter(const AudioFormat& from, const AudioFormat& to) : from_(from), to_(to), held_(to.channelCount) {
        for (auto& channel : held_) channel.reserve(heldFramesReserved);
    }

    ConverterOutputStatus convert(PCMBuffer& output, std::optional<PlatformError>& error,
                                  ConverterInputBlock input) override {
        const uint32_t capacity = output.frameCapacity();
        output.setFrameLength(0);
        if (!(output.format() == to_) || !hasSampleMemory(output)) {
            return fail(error, "The output buffer does not match the converter's output format");
        }
        uint32_t produced = 0;
        takeHeld(output, capacity, produced);
        // As the resampler does: input is asked for at least once per call, and what does not
        // fit waits for the next call.
        bool asked = false;
        while (!ended_ && (produced < capacity || !asked)) {
            asked = true;
            ConverterInputStatus status = ConverterInputStatus::noDataNow;
            PCMBuffer* buffer = input(std::max<uint32_t>(capacity - produced, 1), status);
            if (status == ConverterInputStatus::endOfStream) {
                ended_ = true;
                break;
            }
            if (status != ConverterInputStatus::haveData) {
                output.setFrameLength(produced);
                return ConverterOutputStatus::inputRanDry;
            }
            if (!buffer) return fail(error, "The converter's input block supplied no buffer");
            if (!(buffer->format() == from_)) return fail(error, "The input buffer does not match the converter's input format");
            if (!hasSampleMemory(*buffer)) return fail(error, "The input buffer has no sample memory");
            take(*buffer, output, capacity, produced);
        }
        output.setFrameLength(produced);
        if (ended_ && produced == 0) return ConverterOutputStatus::endOfStream;
        return ConverterOutputStatus::haveData;
    }

private:
    static ConverterOutputStatus fail(std::optional<PlatformError>& error, std::string text) {
        error = PlatformError{std::move(text)};
        return ConverterOutputStatus::error;
    }

    static bool hasSampleMemory(const PCMBuffer& buffer) {
        for (uint32_t c = 0; c < buffer.format().channelCount; ++c) {
            if (!channelData(buffer, c)) return false;
        }
        return true;
    }

    void put(PCMBuffer& output, uint32_t channel, uint32_t frame, float sample) const {
        if (to_.commonFormat == CommonFormat::int16) {
            output.int16ChannelData()[channel][frame] = toInt16(sample);
        } else {
            output.floatChannelData()[channel][frame] = sample;
        }
    }

    void takeHeld(PCMBuffer& output, uint32_t capacity, uint32_t& produced) {
        const size_t count = std::min<size_t>(held_[0].size(), capacity - produced);
        if (count == 0) return;
        for (uint32_t c = 0; c < to_.channelCount; ++c) {
            for (size_t i = 0; i < count; ++i) put(output, c, produced + static_cast<uint32_t>(i), held_[c][i]);
            held_[c].erase(held_[c].begin(), held_[c].begin() + static_cast<std::ptrdiff_t>(count));
        }
        produced += static_cast<uint32_t>(count);
    }

    void take(const PCMBuffer& buffer, PCMBuffer& output, uint32_t capacity, uint32_t& produced) {
        const uint32_t frames = buffer.frameLength();
        const uint32_t fitting = std::min(frames, capacity - produced);
        for (uint32_t c = 0; c < to_.channelCount; ++c) {
            const void* in = channelData(buffer, c);
            for (uint32_t i = 0; i < fitting; ++i) put(output, c, produced + i, sampleAt(in, from_.commonFormat, i));
            for (uint32_t i = fitting; i < frames; ++i) held_[c].push_back(sampleAt(in, from_.commonFormat, i));
        }
        produced += fitting;
    }

    const AudioFormat from_;
    const AudioFormat to_;
    // Per channel, in order.
    std::vector<std::vector<float>> held_;
    bool ended_ = false;
};

}  // namespace

std::shared_ptr<AudioConverter> makeSameRateConverter(const AudioFormat& from, const AudioFormat& to) {
    if (from.sampleRate != to.sampleRate || from.channelCount != to.channelCount || from.channelCount == 0 ||
        from.interleaved || to.interleaved) {
        return nullptr;
    }
    try {
        return std::make_shared<SameRateConverter>(from, to);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace mivo::platform::pulse
