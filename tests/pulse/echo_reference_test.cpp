// The echo reference before it reaches the canceller: brought to 16 kHz with an exact delay, and
// lined up with each capture frame by the stream timing, which it follows in steps but not in its
// own wander.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "platform/pulse/echo_alignment.h"
#include "platform/pulse/reference_downsampler.h"
#include "synthetic_room.h"

namespace mivo::testing {
namespace {

using platform::pulse::EchoAlignment;
using platform::pulse::ReferenceDownsampler;

std::vector<float> downsample(const std::vector<float>& input) {
    ReferenceDownsampler downsampler;
    std::vector<float> output(input.size() / 3);
    for (size_t f = 0; f + renderFrameLength <= input.size(); f += renderFrameLength) {
        downsampler.process(input.data() + f, output.data() + f / 3);
    }
    return output;
}

double toneGain(double hz) {
    std::vector<float> tone(renderRate);
    for (size_t n = 0; n < tone.size(); ++n) tone[n] = static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * n / renderRate));
    const auto out = downsample(tone);
    double energy = 0.0;
    for (size_t n = out.size() / 2; n < out.size(); ++n) energy += double{out[n]} * out[n];
    return std::sqrt(energy / static_cast<double>(out.size() / 2) * 2.0);
}

TEST(ReferenceDownsamplerTest, DelaysByItsStatedWholeSamples) {
    std::vector<float> impulse(4 * renderFrameLength, 0.0f);
    impulse[300] = 1.0f;
    const auto out = downsample(impulse);
    const auto peak = std::max_element(out.begin(), out.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    EXPECT_EQ(peak - out.begin(), 300 / 3 + ReferenceDownsampler::delay);
}

TEST(ReferenceDownsamplerTest, KeepsSpeechAndRemovesWhatWouldFoldBack) {
    EXPECT_NEAR(toneGain(300.0), 1.0, 0.01);
    EXPECT_NEAR(toneGain(3000.0), 1.0, 0.01);
    EXPECT_NEAR(toneGain(6500.0), 1.0, 0.05);
    // Above 8 kHz it would fold back into the band the canceller sees.
    EXPECT_LT(toneGain(9500.0), 0.001);
    EXPECT_LT(toneGain(15000.0), 0.001);
}

// Renders a ramp whose value tells its place (at 16 kHz), and reads back which place the
// alignment hands over with each capture frame.
class Positions {
public:
    void render(EchoAlignment& alignment) {
        std::vector<float> frame(renderFrameLength);
        for (uint32_t i = 0; i < renderFrameLength; ++i) frame[i] = static_cast<float>((rendered_ + i) * scale / 3.0);
        std::vector<float> out(voiceFrameLength);
        downsampler_.process(frame.data(), out.data());
        alignment.addRender(out.data(), ReferenceDownsampler::delay);
        rendered_ += renderFrameLength;
    }
    // The render position (16 kHz) of the first reference sample handed over.
    double capture(EchoAlignment& alignment, CaptureTiming timing) {
        std::vector<float> silence(voiceFrameLength, 0.0f);
        return alignment.referenceFor(silence.data(), timing)[0] / scale;
    }
    int64_t rendered16() const { return static_cast<int64_t>(rendered_ / 3); }

private:
    static constexpr double scale = 1e-6;
    ReferenceDownsampler downsampler_;
    uint64_t rendered_ = 0;
};

CaptureTiming leadOf(double ms) {
    CaptureTiming timing;
    timing.known = true;
    timing.renderLeadMicroseconds = static_cast<int64_t>(ms * 1000.0);
    return timing;
}

TEST(EchoAlignmentTest, HandsOverWhatWasHeardWhenTheFrameWasCaptured) {
    EchoAlignment alignment;
    Positions positions;
    for (int f = 0; f < 4; ++f) positions.render(alignment);
    for (int f = 0; f < 50; ++f) {
        positions.render(alignment);
        // 35 ms until the newest render is heard: this frame heard the render 35 ms before it.
        const double handed = positions.capture(alignment, leadOf(35.0));
        const double heard = static_cast<double>(positions.rendered16() - 35 * 16);
        if (f >= 10) {
            EXPECT_NEAR(handed, heard + EchoAlignment::placementSamples, 1.0) << f;
        }
    }
}

TEST(EchoAlignmentTest, MovesWithAnUnderrunsStepInTheTimingButNotWithItsWanderOrJumps) {
    EchoAlignment alignment;
    Positions positions;
    for (int f = 0; f < 4; ++f) positions.render(alignment);
    std::vector<double> offsets;  // handed place less the newest render
    double lead = 35.0;
    for (int f = 0; f < 700; ++f) {
        positions.render(alignment);
        // As a PulseAudio client sees it: the interpolated timing drifts by 1 ms a second and
        // jitters by half a ms, and every 1.5 s an update corrects it by 4 ms at once...
        lead -= 0.01;
        if (f % 150 == 149) lead += 4.0;
        const double jitter = 0.5 * std::sin(f * 1.7);
        // ... and at 5 s an underrun puts 30 ms of silence between the render and the loudspeaker;
        // at 3.2 s another one was noted just as the timing corrected itself the other way.
        if (f == 320) {
            lead -= 4.0;
            alignment.noteDiscontinuity(platform::pulse::Discontinuity::renderUnderrun);
        }
        if (f == 500) {
            lead += 30.0;
            alignment.noteDiscontinuity(platform::pulse::Discontinuity::renderUnderrun);
        }
        const double handed = positions.capture(alignment, leadOf(lead + jitter));
        offsets.push_back(handed - static_cast<double>(positions.rendered16()));
    }
    // The streams did not move for five seconds: neither does the place handed over (the
    // correction at 3.2 s is 4 ms the wrong way for an underrun).
    for (int f = 10; f < 500; ++f) EXPECT_NEAR(offsets[f], offsets[10], 1.0) << f;
    // The underrun: within a few frames the reference is 30 ms older (give or take the timing's
    // own error), and stays so.
    for (int f = 515; f < 700; ++f) EXPECT_NEAR(offsets[f], offsets[10] - 30 * 16, 4.0 * 16) << f;
}

TEST(EchoAlignmentTest, CountsTheStreamsWhenTheServerGivesNoTiming) {
    EchoAlignment alignment;
    Positions positions;
    for (int f = 0; f < 3; ++f) positions.render(alignment);
    std::vector<double> offsets;
    for (int f = 0; f < 100; ++f) {
        positions.render(alignment);
        const double handed = positions.capture(alignment, CaptureTiming{});
        offsets.push_back(handed - static_cast<double>(positions.rendered16()));
    }
    for (double offset : offsets) EXPECT_NEAR(offset, offsets.front(), 1.0);
    EXPECT_EQ(alignment.lateFrames(), 0u);
}

}  // namespace
}  // namespace mivo::testing
