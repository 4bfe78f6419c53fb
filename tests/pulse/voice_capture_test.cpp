// The microphone on its way to the canceller: the voice is the source as a plain client records it,
// brought to 16 kHz by the very filter the echo reference goes through, so that the canceller sees
// the echo as a copy of its reference and not also as the difference between two resamplers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/pulse/reference_downsampler.h"
#include "pulse_test_support.h"

namespace mivo::testing {
namespace {

using platform::pulse::ReferenceDownsampler;

using VoiceCaptureTest = PulseDaemonTest;

// `heard` (48 kHz) through the reference's filter, decimating from its sample `phase`.
std::vector<float> throughTheReferenceFilter(const std::vector<float>& heard, size_t phase) {
    ReferenceDownsampler filter;
    std::vector<float> voice;
    std::vector<float> frame(ReferenceDownsampler::outputLength);
    for (size_t at = phase; at + ReferenceDownsampler::inputLength <= heard.size(); at += ReferenceDownsampler::inputLength) {
        filter.process(heard.data() + at, frame.data());
        voice.insert(voice.end(), frame.begin(), frame.end());
    }
    return voice;
}

TEST_F(VoiceCaptureTest, WithTheCancellerBypassedTheVoiceIsTheSourceThroughTheReferenceFilter) {
    std::vector<float> noise(96000);
    uint32_t state = 2024;
    for (auto& sample : noise) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(static_cast<int32_t>(state >> 8) % 20000 - 10000) / 40000.0f;
    }
    SignalPlayer talker("room", noise, true, 250);
    Recorder microphone("room.monitor");
    Graph graph = Graph::make();
    TapRecord tap;
    auto input = graph.engine->inputNode();
    input->setVoiceProcessingBypassed(true);
    input->installTapOnBus(0, 160, input->outputFormatForBus(0), tap.block());
    ASSERT_FALSE(graph.engine->start().has_value());
    ASSERT_TRUE(tap.waitForFrames(32000, 4s));
    graph.engine->stop();
    ASSERT_TRUE(microphone.waitForFrames(96000, 2s));
    microphone.stop();

    // Half a second from the middle of the voice is found, to the last bit of a float, in one of
    // the three ways of taking every third sample of what the plain client heard.
    const auto taken = tap.samples();
    const size_t from = 16000;
    ASSERT_GE(taken.size(), from + 8000);
    const std::vector<float> head(taken.begin() + from, taken.begin() + from + 256);
    double closest = 1.0;
    for (size_t phase = 0; phase < ReferenceDownsampler::factor; ++phase) {
        const auto voice = throughTheReferenceFilter(microphone.samples(), phase);
        const long at = bestOffset(voice, head);
        if (at < 0 || static_cast<size_t>(at) + 8000 > voice.size()) continue;
        double largest = 0.0;
        for (size_t i = 0; i < 8000; ++i) largest = std::max(largest, std::fabs(double{voice[at + i]} - taken[from + i]));
        closest = std::min(closest, largest);
    }
    EXPECT_LT(closest, 1e-6);
}

}  // namespace
}  // namespace mivo::testing
