// The voice-processing stage's own work per 10 ms frame, stage by stage: the 48 to 16 kHz filter
// (run on the reference and on the microphone), the echo delay finder, and the whole processor
// with WebRTC's canceller, suppressor and gain control. Set against the 10 ms each frame allows,
// and against the library's CPU goal of 20 ms per second in all.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/pulse/echo_delay_finder.h"
#include "platform/pulse/reference_downsampler.h"
#include "platform/pulse/webrtc_voice_processor.h"
#include "synthetic_room.h"

namespace {

using mivo::platform::pulse::CaptureTiming;
using mivo::platform::pulse::EchoDelayFinder;
using mivo::platform::pulse::ReferenceDownsampler;
using mivo::platform::pulse::WebRtcVoiceProcessor;

// Speech-like far end (the tests' synthetic talker), long enough to loop over.
std::vector<float> talker(size_t count, uint32_t seed, uint32_t rate) {
    mivo::testing::Talker voice(seed, rate);
    std::vector<float> samples(count);
    for (float& v : samples) v = voice.next();
    return samples;
}

void BM_ReferenceDownsampler(benchmark::State& state) {
    ReferenceDownsampler filter;
    const std::vector<float> input = talker(48000, 1, 48000);
    std::vector<float> output(ReferenceDownsampler::outputLength);
    size_t at = 0;
    for (auto _ : state) {
        filter.process(input.data() + at, output.data());
        benchmark::DoNotOptimize(output.data());
        at = (at + ReferenceDownsampler::inputLength) % input.size();
    }
}
BENCHMARK(BM_ReferenceDownsampler);

void BM_EchoDelayFinder(benchmark::State& state) {
    EchoDelayFinder finder;
    constexpr size_t frame = 160;
    constexpr size_t echoLag = 960;  // 60 ms
    const std::vector<float> reference = talker(16000 * 4, 2, 16000);
    std::vector<float> capture(reference.size(), 0.0f);
    for (size_t i = echoLag; i < capture.size(); ++i) capture[i] = 0.5f * reference[i - echoLag];
    size_t at = 0;
    for (auto _ : state) {
        finder.add(reference.data() + at, capture.data() + at);
        at = (at + frame) % reference.size();
    }
    state.counters["lag"] = finder.echoLag();
}
BENCHMARK(BM_EchoDelayFinder);

// One rendered 48 kHz frame and one captured 16 kHz frame, as the engine hands them over.
void BM_WebRtcVoiceProcessor(benchmark::State& state) {
    std::string error;
    auto processor = WebRtcVoiceProcessor::create(error);
    if (!processor) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::vector<float> render = talker(48000 * 4, 3, 48000);
    std::vector<float> capture(16000 * 4);
    for (size_t i = 0; i < capture.size(); ++i) capture[i] = i >= 960 ? 0.5f * render[(i - 960) * 3] : 0.0f;
    std::vector<float> frame(160);
    size_t renderAt = 0;
    size_t captureAt = 0;
    for (auto _ : state) {
        processor->analyzeRender(render.data() + renderAt);
        std::copy(capture.begin() + static_cast<long>(captureAt), capture.begin() + static_cast<long>(captureAt) + 160, frame.begin());
        processor->processVoice(frame.data(), CaptureTiming{}, true);
        benchmark::DoNotOptimize(frame.data());
        renderAt = (renderAt + 480) % render.size();
        captureAt = (captureAt + 160) % capture.size();
    }
}
BENCHMARK(BM_WebRtcVoiceProcessor);

}  // namespace
