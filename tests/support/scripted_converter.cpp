// Each convert call is recorded whole (its pulls, its output and its answer), so that a test can
// check both what the core fed and what it was told.

#include "support/scripted_converter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "support/platform_state.h"
#include "support/scripted_pcm_buffer.h"

namespace mivo::testing {

using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::PlatformError;
using detail::PlatformState;
using detail::takeCall;

int16_t toInt16(float sample) {
    if (std::isnan(sample)) return 0;
    const double scaled = std::round(double{sample} * 32767.0);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

std::vector<int16_t> defaultConversion(const std::vector<float>& input, double inputRate, uint32_t capacity) {
    std::vector<int16_t> output;
    if (!(inputRate > 0)) return output;
    for (uint64_t i = 0; i < capacity; ++i) {
        const auto source = static_cast<uint64_t>(std::floor(static_cast<double>(i) * inputRate / 16000.0));
        if (source >= input.size()) break;
        output.push_back(toInt16(input[source]));
    }
    return output;
}

ScriptedConverter::ScriptedConverter(std::shared_ptr<PlatformState> platform, const AudioFormat& from,
                                     const AudioFormat& to)
    : state_(std::move(platform)), from_(from), to_(to) {}

std::vector<ScriptedConverter::Call> ScriptedConverter::calls() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return calls_;
}

std::vector<float> ScriptedConverter::fedSamples() const {
    std::vector<float> samples;
    for (const auto& call : calls()) {
        for (const auto& pull : call.pulls) {
            if (pull.gaveBuffer && !pull.channels.empty()) {
                samples.insert(samples.end(), pull.channels[0].begin(), pull.channels[0].end());
            }
        }
    }
    return samples;
}

ConverterOutputStatus ScriptedConverter::convert(PCMBuffer& output, std::optional<PlatformError>& error,
                                                 platform::ConverterInputBlock input) {
    state_->record("converter.convert");
    Call call;
    call.outputFormat = output.format();
    call.outputCapacity = output.frameCapacity();

    // Pull until the block has nothing more to give, so that a block that hands out its buffer
    // more than once shows up as repeated input.
    std::vector<float> fed;
    const double wanted = from_.sampleRate > 0 ? std::ceil(call.outputCapacity * from_.sampleRate / 16000.0) : 1;
    for (size_t i = 0; i < maxPullsPerConvert; ++i) {
        Pull pull;
        pull.packetCount = static_cast<uint32_t>(std::clamp(wanted - static_cast<double>(fed.size()), 1.0, 1e9));
        auto status = static_cast<ConverterInputStatus>(-1);  // tells a block that never set it
        PCMBuffer* buffer = input(pull.packetCount, status);
        pull.status = status;
        pull.gaveBuffer = buffer != nullptr;
        if (buffer) {
            pull.format = buffer->format();
            for (uint32_t c = 0; c < buffer->format().channelCount; ++c) {
                pull.channels.push_back(floatSamples(*buffer, c));
            }
        }
        const bool more = buffer && status == ConverterInputStatus::haveData;
        if (more && !pull.channels.empty()) fed.insert(fed.end(), pull.channels[0].begin(), pull.channels[0].end());
        call.pulls.push_back(std::move(pull));
        if (!more) break;
    }

    std::optional<ConvertScript> script;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        for (auto& [candidate, calls] : state_->convertScripts) {
            if (takeCall(calls) && !script) script = candidate;
        }
    }

    std::vector<int16_t> produced;
    int16_t* const* destination = output.int16ChannelData();
    if ((!script || script->produceOutput) && destination) {
        produced = defaultConversion(fed, from_.sampleRate, output.frameCapacity());
        std::copy(produced.begin(), produced.end(), destination[0]);
    }
    output.setFrameLength(static_cast<uint32_t>(produced.size()));

    ConverterOutputStatus status =
        produced.empty() ? ConverterOutputStatus::inputRanDry : ConverterOutputStatus::haveData;
    if (script) {
        status = script->status;
        if (script->errorDescription) error = PlatformError{*script->errorDescription};
        call.errorDescription = script->errorDescription;
    }
    call.output = std::move(produced);
    call.status = status;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        calls_.push_back(std::move(call));
    }
    return status;
}

}  // namespace mivo::testing
