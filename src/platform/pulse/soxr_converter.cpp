#include "platform/pulse/soxr_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/pulse/converter_buffers.h"
#include "platform/pulse/same_rate_converter.h"

namespace mivo::platform::pulse {

namespace {

bool isUsable(const AudioFormat& format) {
    return !format.interleaved && format.channelCount > 0 && std::isfinite(format.sampleRate) &&
           format.sampleRate > 0 &&
           (format.commonFormat == CommonFormat::float32 || format.commonFormat == CommonFormat::int16);
}

soxr_datatype_t splitType(CommonFormat format) {
    return format == CommonFormat::int16 ? SOXR_INT16_S : SOXR_FLOAT32_S;
}

class SoxrConverter final : public AudioConverter {
public:
    SoxrConverter(const AudioFormat& from, const AudioFormat& to, soxr_t resampler)
        : from_(from), to_(to), resampler_(resampler), input_(from.channelCount), output_(to.channelCount) {}
    ~SoxrConverter() override { soxr_delete(resampler_); }
    SoxrConverter(const SoxrConverter&) = delete;
    SoxrConverter& operator=(const SoxrConverter&) = delete;

    ConverterOutputStatus convert(PCMBuffer& output, std::optional<PlatformError>& error,
                                  ConverterInputBlock input) override {
        const uint32_t capacity = output.frameCapacity();
        output.setFrameLength(0);
        if (!(output.format() == to_) || !bindOutput(output)) {
            return fail(error, "The output buffer does not match the converter's output format");
        }
        uint32_t produced = 0;
        if (!ended_) {
            // Output that earlier input left inside the resampler comes first.
            if (!drain(capacity, produced, error)) return ConverterOutputStatus::error;
            // Input is asked for at least once per call, even with the output already full: the
            // resampler's output comes in bursts, and a caller that offers one buffer per call
            // must never have it left untaken. What does not fit stays inside for the next call.
            bool asked = false;
            while (produced < capacity || !asked) {
                asked = true;
                ConverterInputStatus status = ConverterInputStatus::noDataNow;
                const auto wanted = std::max<uint32_t>(
                    1, static_cast<uint32_t>(std::ceil((capacity - produced) * from_.sampleRate / to_.sampleRate)));
                PCMBuffer* buffer = input(wanted, status);
                if (status == ConverterInputStatus::haveData) {
                    if (!buffer) return fail(error, "The converter's input block supplied no buffer");
                    if (!(buffer->format() == from_)) {
                        return fail(error, "The input buffer does not match the converter's input format");
                    }
                    if (!feed(*buffer, capacity, produced, error)) return ConverterOutputStatus::error;
                    continue;
                }
                if (status == ConverterInputStatus::endOfStream) {
                    ended_ = true;
                    break;
                }
                output.setFrameLength(produced);
                return ConverterOutputStatus::inputRanDry;
            }
            if (!ended_) {
                output.setFrameLength(produced);
                return ConverterOutputStatus::haveData;
            }
        }
        // The input has ended: what the filter still holds comes out, then the end is reported.
        if (!flush(capacity, produced, error)) return ConverterOutputStatus::error;
        output.setFrameLength(produced);
        return produced > 0 ? ConverterOutputStatus::haveData : ConverterOutputStatus::endOfStream;
    }

private:
    ConverterOutputStatus fail(std::optional<PlatformError>& error, std::string text) {
        error = PlatformError{std::move(text)};
        return ConverterOutputStatus::error;
    }

    bool bindOutput(PCMBuffer& output) {
        for (uint32_t c = 0; c < to_.channelCount; ++c) {
            const void* data = channelData(output, c);
            if (!data) return false;
            outputBase_[c] = static_cast<char*>(const_cast<void*>(data));
        }
        return true;
    }

    // Gives soxr the whole buffer (it keeps what does not fit the output) and takes what it produces.
    bool feed(const PCMBuffer& buffer, uint32_t capacity, uint32_t& produced, std::optional<PlatformError>& error) {
        const uint32_t frames = buffer.frameLength();
        if (frames == 0) return true;
        for (uint32_t c = 0; c < from_.channelCount; ++c) {
            input_[c] = channelData(buffer, c);
            if (!input_[c]) {
                fail(error, "The input buffer has no sample memory");
                return false;
            }
        }
        return process(input_.data(), frames, capacity, produced, error);
    }

    // A non-null input of length 0 asks for buffered output without ending the stream.
    bool drain(uint32_t capacity, uint32_t& produced, std::optional<PlatformError>& error) {
        for (uint32_t c = 0; c < from_.channelCount; ++c) input_[c] = &silence_;
        return process(input_.data(), 0, capacity, produced, error);
    }

    bool flush(uint32_t capacity, uint32_t& produced, std::optional<PlatformError>& error) {
        if (flushed_ || produced == capacity) return true;
        const uint32_t room = capacity - produced;
        const uint32_t before = produced;
        if (!process(nullptr, 0, capacity, produced, error)) return false;
        // Room to spare after a flush means the filter is empty.
        if (produced - before < room) flushed_ = true;
        return true;
    }

    bool process(const void* const* in, size_t frames, uint32_t capacity, uint32_t& produced,
                 std::optional<PlatformError>& error) {
        const size_t offset = size_t{produced} * sampleSize(to_.commonFormat);
        for (uint32_t c = 0; c < to_.channelCount; ++c) output_[c] = outputBase_[c] + offset;
        size_t done = 0;
        // No idone pointer: soxr then takes all the input, buffering what the output cannot hold.
        const soxr_error_t failure =
            soxr_process(resampler_, in, frames, nullptr, output_.data(), capacity - produced, &done);
        if (failure) {
            fail(error, std::string("Resampling failed: ") + failure);
            return false;
        }
        produced += static_cast<uint32_t>(done);
        return true;
    }

    const AudioFormat from_;
    const AudioFormat to_;
    const soxr_t resampler_;
    std::vector<const void*> input_;
    std::vector<void*> output_;
    std::vector<char*> outputBase_ = std::vector<char*>(to_.channelCount);
    float silence_ = 0.0f;
    bool ended_ = false;
    bool flushed_ = false;
};

}  // namespace

std::shared_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to) {
    if (!isUsable(from) || !isUsable(to) || from.channelCount != to.channelCount) return nullptr;
    // soxr holds back about 15 ms and filters even at one rate.
    if (from.sampleRate == to.sampleRate) return makeSameRateConverter(from, to);
    const soxr_io_spec_t types = soxr_io_spec(splitType(from.commonFormat), splitType(to.commonFormat));
    soxr_io_spec_t ioTypes = types;
    // Deterministic output: silence stays exactly zero.
    ioTypes.flags |= SOXR_NO_DITHER;
    // Minimum phase: the output follows the input by a few milliseconds instead of the tens
    // that a linear-phase filter holds back, which matters for capture latency.
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_MINIMUM_PHASE);
    // One thread: the converter runs inside the capture callback and must not start its own.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t failure = nullptr;
    soxr_t resampler =
        soxr_create(from.sampleRate, to.sampleRate, from.channelCount, &failure, &ioTypes, &quality, &runtime);
    if (failure || !resampler) {
        if (resampler) soxr_delete(resampler);
        return nullptr;
    }
    try {
        return std::make_shared<SoxrConverter>(from, to, resampler);
    } catch (...) {
        soxr_delete(resampler);
        return nullptr;
    }
}

}  // namespace mivo::platform::pulse
