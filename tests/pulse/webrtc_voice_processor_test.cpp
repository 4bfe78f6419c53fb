// The echo canceller on a synthetic room, frame by frame as the engine drives it: no daemon, no
// timing of our own, the same result every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/pulse/webrtc_config_keys.h"
#include "platform/pulse/webrtc_voice_processor.h"
#include "synthetic_room.h"

extern "C" int WebRtcAec_extended_filter_enabled(struct AecCore* core);

namespace mivo::testing {
namespace {

using platform::pulse::Discontinuity;
using platform::pulse::WebRtcVoiceProcessor;

// Drives the processor and keeps the energy of what goes in and comes out while `measuring`.
struct Canceller {
    std::unique_ptr<WebRtcVoiceProcessor> processor;
    bool measuring = false;
    double in = 0.0;
    double out = 0.0;

    void reference(const float* frame) { processor->analyzeRender(frame); }
    void capture(float* frame, const CaptureTiming& timing) {
        if (measuring) {
            for (uint32_t i = 0; i < voiceFrameLength; ++i) in += double{frame[i]} * frame[i];
        }
        processor->processVoice(frame, timing, true);
        if (measuring) {
            for (uint32_t i = 0; i < voiceFrameLength; ++i) out += double{frame[i]} * frame[i];
        }
    }
    // Echo removed over `seconds` more of the room, in dB.
    double measure(Room& room, double seconds) {
        in = out = 0.0;
        measuring = true;
        room.run(*this, seconds);
        measuring = false;
        return 10.0 * std::log10(in / std::max(out, 1e-20));
    }
    // The same, one second at a time.
    std::vector<double> measureEachSecond(Room& room, int seconds) {
        std::vector<double> result;
        for (int s = 0; s < seconds; ++s) result.push_back(measure(room, 1.0));
        return result;
    }
};

Canceller makeCanceller() {
    std::string error;
    Canceller canceller{WebRtcVoiceProcessor::create(error)};
    EXPECT_TRUE(canceller.processor) << error;
    return canceller;
}

std::string list(const std::vector<double>& values) {
    std::string text;
    for (double v : values) text += std::to_string(static_cast<int>(std::lround(v))) + " ";
    return text;
}

TEST(WebRtcVoiceProcessorTest, RemovesAnEchoThatComesBackLaterThanTheServerSays) {
    // 120 ms in the room on top of what the streams report: far beyond the canceller's filter.
    Canceller canceller = makeCanceller();
    ASSERT_TRUE(canceller.processor);
    Room room(11);
    room.setPath({{120.0, 0.5f}});
    room.run(canceller, 3.0);
    EXPECT_GE(canceller.measure(room, 2.0), 25.0);
    const auto metrics = canceller.processor->metrics();
    ASSERT_TRUE(metrics.roomDelaySamples.has_value());
    // The microphone's decimator adds half a millisecond of its own.
    EXPECT_NEAR(*metrics.roomDelaySamples, 120 * 16 + 10, 3);
}

TEST(WebRtcVoiceProcessorTest, CancelsAgainSoonAfterADiscontinuityMovedTheEcho) {
    Canceller canceller = makeCanceller();
    ASSERT_TRUE(canceller.processor);
    Room room(12);
    room.run(canceller, 3.0);
    ASSERT_GE(canceller.measure(room, 1.0), 25.0);
    // An underrun: the sink played 15 ms of silence that the reference never had.
    room.underrun(15.0);
    canceller.processor->noteDiscontinuity(Discontinuity::renderUnderrun);
    room.run(canceller, 2.0);
    EXPECT_GE(canceller.measure(room, 2.0), 25.0);
}

TEST(WebRtcVoiceProcessorTest, KeepsItsFilterWhenAnUnderrunMovesTheEcho) {
    // The stream timing shows where the echo went: the reference follows at once and the
    // converged filter goes on cancelling, with no second of echo while it is found again.
    Canceller canceller = makeCanceller();
    ASSERT_TRUE(canceller.processor);
    Room room(13, 3, true);
    room.run(canceller, 4.0);
    ASSERT_GE(canceller.measure(room, 1.0), 35.0);
    // Longer than the filter: found again by listening, the echo would be missed for a second.
    room.underrun(60.0);
    canceller.processor->noteDiscontinuity(Discontinuity::renderUnderrun);
    const auto seconds = canceller.measureEachSecond(room, 3);
    EXPECT_GE(*std::min_element(seconds.begin(), seconds.end()), 38.0) << list(seconds);
}

TEST(WebRtcVoiceProcessorTest, HoldsAQuietEchoLongAfterTheFirstSeconds) {
    // An echo 30 dB down: the cancellation must not fade after a few seconds.
    Canceller canceller = makeCanceller();
    ASSERT_TRUE(canceller.processor);
    Room room(14, 3, true);
    room.setPath({{60.0, 0.016f}});
    room.run(canceller, 3.0);
    const auto seconds = canceller.measureEachSecond(room, 17);
    EXPECT_GE(*std::min_element(seconds.begin(), seconds.end()), 30.0) << list(seconds);
    // Found where it is, under noise suppression and gain control, and kept there.
    const auto metrics = canceller.processor->metrics();
    ASSERT_TRUE(metrics.roomDelaySamples.has_value());
    EXPECT_NEAR(*metrics.roomDelaySamples, 60 * 16 + 10, 3);
}

TEST(WebRtcVoiceProcessorTest, CancelsAReverberantEchoFromItsFirstArrival) {
    // A weak direct path and a reflection 25 ms later three times as strong, then more: lined up
    // by the strongest arrival, the direct path would come before the reference.
    Canceller canceller = makeCanceller();
    ASSERT_TRUE(canceller.processor);
    Room room(15, 3, true);
    room.setPath({{20.0, 0.1f}, {45.0, 0.3f}, {52.0, -0.12f}, {61.0, 0.1f}, {83.0, -0.07f}, {97.0, 0.05f}});
    room.run(canceller, 3.0);
    const auto seconds = canceller.measureEachSecond(room, 6);
    EXPECT_GE(*std::min_element(seconds.begin(), seconds.end()), 35.0) << list(seconds);
    const auto metrics = canceller.processor->metrics();
    ASSERT_TRUE(metrics.roomDelaySamples.has_value());
    EXPECT_NEAR(*metrics.roomDelaySamples, 20 * 16 + 10, 4);
}

// One frame of the microphone with one bad sample, and what comes out from then on.
struct OneBadSample {
    Canceller& canceller;
    float sample;
    int frames = 0;
    int nonFinite = 0;
    void reference(const float* frame) { canceller.reference(frame); }
    void capture(float* frame, const CaptureTiming& timing) {
        if (frames++ == 1) frame[17] = sample;
        canceller.capture(frame, timing);
        for (uint32_t i = 0; i < voiceFrameLength; ++i) nonFinite += std::isfinite(frame[i]) ? 0 : 1;
    }
};

TEST(WebRtcVoiceProcessorTest, OneGarbageSampleFromTheMicrophoneDoesNotStopTheCancelling) {
    // A float device can deliver a sample that is not a number, or far beyond full scale: kept,
    // it stays in the delay finder's sums for good, and the echo is taken out by 20 dB at best from then on.
    for (const float sample : {std::numeric_limits<float>::quiet_NaN(), 3e38f}) {
        Canceller canceller = makeCanceller();
        ASSERT_TRUE(canceller.processor);
        Room room(16);
        room.run(canceller, 3.0);
        ASSERT_GE(canceller.measure(room, 1.0), 25.0);
        OneBadSample bad{canceller, sample};
        room.run(bad, 1.0);
        EXPECT_EQ(bad.nonFinite, 0) << sample;
        const auto seconds = canceller.measureEachSecond(room, 3);
        EXPECT_GE(*std::min_element(seconds.begin(), seconds.end()), 25.0) << sample << ": " << list(seconds);
    }
}

// Far end and its echo for 3 s, then the near end alone for 2 s: how much of the near end's
// last second comes out, in dB. `spoil` puts a sample that is not a number into the reference
// while the far end talks: from outside, the only way into the canceller's state. A live session
// once ended in the same state (silence for the rest of the run), from a cause not found.
double nearEndKept(WebRtcVoiceProcessor& processor, bool spoil) {
    Talker far(41, renderRate, true);
    Talker nearEnd(43, voiceRate, false);
    std::vector<float> render(renderFrameLength);
    std::vector<float> echo;
    std::vector<float> frame(voiceFrameLength);
    CaptureTiming timing;
    timing.known = true;
    timing.renderLeadMicroseconds = 20000;
    double in = 0.0;
    double out = 0.0;
    for (int f = 0; f < 500; ++f) {
        const bool farTalks = f < 300;
        for (float& v : render) v = farTalks ? far.next() : 0.0f;
        if (spoil && f == 200) render[5] = std::numeric_limits<float>::quiet_NaN();
        processor.analyzeRender(render.data());
        for (uint32_t i = 0; i < voiceFrameLength; ++i) {
            // The echo: every third sample of what played 40 ms before, at half the level.
            echo.push_back(farTalks ? 0.5f * render[3 * i] : 0.0f);
            frame[i] = f >= 300 ? nearEnd.next() : (echo.size() > 640 ? echo[echo.size() - 641] : 0.0f);
        }
        const bool measuring = f >= 400;
        if (measuring) for (float v : frame) in += double{v} * v;
        processor.processVoice(frame.data(), timing, true);
        if (measuring) for (float v : frame) out += double{v} * v;
    }
    return 10.0 * std::log10(std::max(out, 1e-20) / std::max(in, 1e-20));
}

TEST(WebRtcVoiceProcessorTest, ACancellerThatWentDeafStartsAgainAndTheTalkerIsHeard) {
    for (const bool spoil : {false, true}) {
        Canceller canceller = makeCanceller();
        ASSERT_TRUE(canceller.processor);
        const double kept = nearEndKept(*canceller.processor, spoil);
        EXPECT_GT(kept, -10.0) << (spoil ? "spoiled" : "healthy");
        // A healthy canceller is never started again.
        EXPECT_EQ(canceller.processor->restarts(), spoil ? 1u : 0u);
    }
}

TEST(WebRtcVoiceProcessorTest, SetsUpTheCancellerAsAsked) {
    // Options go to the canceller through webrtc::Config, whose keys are addresses inside the
    // library: asked for the extended filter, a canceller must really have it.
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    std::unique_ptr<webrtc::AudioProcessing> processing(webrtc::AudioProcessing::Create(config));
    ASSERT_TRUE(processing);
    ASSERT_EQ(processing->echo_cancellation()->Enable(true), 0);
    AecCore* core = processing->echo_cancellation()->aec_core();
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(WebRtcAec_extended_filter_enabled(core), 1);
}

}  // namespace
}  // namespace mivo::testing
