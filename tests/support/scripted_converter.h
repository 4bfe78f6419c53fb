#pragma once

// The converter converts by a rule a test can compute, records what it was fed and answers what a
// test scripted, so the core's handling of every converter answer can be checked.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_platform.h"

namespace mivo::testing {

namespace detail {
struct PlatformState;  // shared by the platform and every object it made
}

using platform::AudioFormat;
using platform::PCMBuffer;

// What one convert call answers instead of the default. With `produceOutput` the default
// conversion still fills the output buffer (so a test can prove the core ignores it on error).
struct ConvertScript {
    platform::ConverterOutputStatus status = platform::ConverterOutputStatus::error;
    std::optional<std::string> errorDescription;
    bool produceOutput = true;
};

// The default conversion: output frame i takes input sample floor(i * rate / 16000), for every i
// whose input exists and that fits the capacity; samples become clamp(round(x * 32767)), NaN 0.
int16_t toInt16(float sample);
std::vector<int16_t> defaultConversion(const std::vector<float>& input, double inputRate, uint32_t capacity);

class ScriptedConverter final : public platform::AudioConverter {
public:
    // One call of the core's input block, as the converter saw it.
    struct Pull {
        uint32_t packetCount = 0;
        bool gaveBuffer = false;
        platform::ConverterInputStatus status = platform::ConverterInputStatus::noDataNow;
        AudioFormat format;                      // of the buffer given, if any
        std::vector<std::vector<float>> channels;  // copies of its samples (frameLength each)
    };
    struct Call {
        std::vector<Pull> pulls;
        AudioFormat outputFormat;
        uint32_t outputCapacity = 0;
        std::vector<int16_t> output;  // what was put into the output buffer
        platform::ConverterOutputStatus status = platform::ConverterOutputStatus::haveData;
        std::optional<std::string> errorDescription;
    };
    // The converter stops pulling once the block says anything but haveData, or after this many pulls.
    static constexpr size_t maxPullsPerConvert = 8;

    const AudioFormat& from() const { return from_; }
    const AudioFormat& to() const { return to_; }
    std::vector<Call> calls() const;
    // Channel 0 of every buffer the input block yielded, over all calls, in order.
    std::vector<float> fedSamples() const;

    platform::ConverterOutputStatus convert(PCMBuffer& output, std::optional<platform::PlatformError>& error,
                                            platform::ConverterInputBlock input) override;

    ScriptedConverter(std::shared_ptr<detail::PlatformState> platform, const AudioFormat& from, const AudioFormat& to);

private:
    std::shared_ptr<detail::PlatformState> state_;
    AudioFormat from_;
    AudioFormat to_;
    std::vector<Call> calls_;  // guarded by the platform's mutex
};

}  // namespace mivo::testing
