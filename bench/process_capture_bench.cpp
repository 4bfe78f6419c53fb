// One 10 ms input-tap buffer at 48 kHz (480 frames) with 1, 2 and 9 channels, delivered through the
// installed tap of a started instance: loudest-channel choice, mono copy, conversion and ring write.
// The converter is a trivial 3:1 decimator, so the figure is the core's own cost per buffer, to set
// against the 10 ms the capture thread has for it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/voice_io.h"
#include "support/scripted_platform.h"

namespace {

using mivo::platform::AudioFormat;
using mivo::platform::PCMBuffer;
namespace platform = mivo::platform;
namespace scripted = mivo::testing;

// Keeps every third sample: no filter and no state, and it records nothing, unlike the scripted
// converter, whose call history would grow with every iteration.
class DecimatingConverter final : public platform::AudioConverter {
public:
    platform::ConverterOutputStatus convert(PCMBuffer& output, std::optional<platform::PlatformError>&,
                                            platform::ConverterInputBlock input) override {
        platform::ConverterInputStatus status = platform::ConverterInputStatus::noDataNow;
        PCMBuffer* source = input(output.frameCapacity() * 3, status);
        if (!source || status != platform::ConverterInputStatus::haveData) {
            output.setFrameLength(0);
            return platform::ConverterOutputStatus::inputRanDry;
        }
        const float* in = source->floatChannelData()[0];
        int16_t* out = output.int16ChannelData()[0];
        const uint32_t frames = std::min(output.frameCapacity(), source->frameLength() / 3);
        for (uint32_t i = 0; i < frames; ++i) {
            out[i] = static_cast<int16_t>(std::lrint(std::clamp(in[3 * i], -1.0f, 1.0f) * 32767.0f));
        }
        output.setFrameLength(frames);
        return platform::ConverterOutputStatus::haveData;
    }
};

// The scripted platform with the decimator in place of its recording converter.
class BenchPlatform final : public platform::AudioPlatform {
public:
    platform::OSStatus getPropertyData(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                       uint32_t qualifierSize, const void* qualifier, uint32_t& dataSize,
                                       void* data) override {
        return inner.getPropertyData(object, address, qualifierSize, qualifier, dataSize, data);
    }
    std::shared_ptr<platform::AudioEngine> makeEngine() override { return inner.makeEngine(); }
    std::shared_ptr<platform::PlayerNode> makePlayerNode() override { return inner.makePlayerNode(); }
    std::shared_ptr<const AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) override {
        return inner.makeStandardFormat(sampleRate, channels);
    }
    std::shared_ptr<PCMBuffer> makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) override {
        return inner.makePCMBuffer(format, frameCapacity);
    }
    std::shared_ptr<platform::AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override {
        return std::make_shared<DecimatingConverter>();
    }
    platform::NotificationCenter& notificationCenter() override { return inner.notificationCenter(); }

    scripted::ScriptedPlatform inner;
};

void BM_ProcessCaptureThroughTap(benchmark::State& state) {
    const auto channelCount = static_cast<size_t>(state.range(0));
    constexpr size_t frames = 480;  // 10 ms at 48 kHz

    auto benchPlatform = std::make_shared<BenchPlatform>();
    auto voice = mivo::core::VoiceIO::create(benchPlatform);
    if (!voice->start()) {
        state.SkipWithError("the instance did not start");
        return;
    }
    // The last channel is the loudest, so every channel's energy is summed and the choice moves.
    std::vector<std::vector<float>> channels(channelCount, std::vector<float>(frames));
    for (size_t c = 0; c < channelCount; ++c) {
        const float gain = 0.1f * static_cast<float>(c + 1) / static_cast<float>(channelCount);
        for (size_t i = 0; i < frames; ++i) channels[c][i] = gain * std::sin(0.05f * static_cast<float>(i));
    }
    const auto format = platform::standardFormat(48000, static_cast<uint32_t>(channelCount));
    const auto buffer = scripted::ScriptedPCMBuffer::fromChannels(format, channels);
    auto& input = benchPlatform->inner.currentEngine()->input();
    input.deliver(*buffer);  // the first buffer sizes the tap's working buffers
    benchPlatform->inner.log().clear();

    // Within a few hundred buffers the ring is full and overwriting: the capture thread's steady state.
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!input.deliver(*buffer)) {
            state.SkipWithError("no tap installed");
            break;
        }
    }
    // Working buffers are reused from one tap buffer to the next: no allocation in the loop.
    if (benchPlatform->inner.log().countPrefix("makePCMBuffer") != 0) state.SkipWithError("allocated per buffer");
    // Share of the 10 ms budget one buffer takes, in parts per million (100 ppm = 1 us per buffer).
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (state.iterations() > 0) {
        state.counters["budgetPpm"] = seconds / static_cast<double>(state.iterations()) / 0.010 * 1e6;
    }
    voice->stop();
}
BENCHMARK(BM_ProcessCaptureThroughTap)->Arg(1)->Arg(2)->Arg(9);

}  // namespace
