// The tests' own measure of what sounds beside a tone: it must see a second tone or distortion,
// and must not mistake the slight pitch changes of a server that matches rates for either.

#include "signal_measures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace mivo::testing {
namespace {

constexpr double rate = 16000.0;

// One second of a tone whose pitch glides from `startHz` to `endHz`, plus an optional second tone.
std::vector<int16_t> glidingTone(double startHz, double endHz, double amplitude, double otherHz = 0.0,
                                 double otherAmplitude = 0.0) {
    std::vector<int16_t> samples(static_cast<size_t>(rate));
    double phase = 0.0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += 2.0 * M_PI * (startHz + (endHz - startHz) * t) / rate;
        const double value = amplitude * std::sin(phase) + otherAmplitude * std::sin(2.0 * M_PI * otherHz * t);
        samples[i] = static_cast<int16_t>(std::lround(value * 32767.0));
    }
    return samples;
}

double restBelowTone(const std::vector<int16_t>& samples, double frequency) {
    const double tone = typicalToneAmplitude(samples.data(), samples.size(), frequency, rate);
    const double rest = typicalRestBesideTone(samples.data(), samples.size(), frequency, rate);
    return 20.0 * std::log10(rest / tone);
}

TEST(SignalMeasuresTest, APitchThatDriftsByAFewHertzIsNotTakenForSomethingElse) {
    // What a rate-matching server did to a 1 kHz tone: heard at "999 Hz" over the second.
    for (const auto& [start, end] : {std::pair{1000.0, 997.5}, std::pair{998.2, 998.2}, std::pair{1001.0, 1003.0}}) {
        SCOPED_TRACE(::testing::Message() << start << " to " << end << " Hz");
        const auto samples = glidingTone(start, end, 0.5);
        EXPECT_LT(restBelowTone(samples, std::round((start + end) / 2)), -50.0);  // tests demand -30
    }
}

TEST(SignalMeasuresTest, ASecondToneOrClippingIsSeenAtItsLevel) {
    const auto twoTones = glidingTone(999.0, 999.0, 0.5, 3000.0, 0.5 / 10.0);  // the other 20 dB down
    EXPECT_NEAR(restBelowTone(twoTones, 999.0), -23.0, 0.5);  // RMS of the rest against the tone's peak

    auto clipped = glidingTone(1000.0, 1000.0, 0.5);
    for (auto& sample : clipped) sample = static_cast<int16_t>(std::clamp<int>(sample, -12000, 12000));
    EXPECT_GT(restBelowTone(clipped, 1000.0), -30.0);
}

// A failed sample-exact comparison says what happened to the copy.
TEST(SignalMeasuresTest, ACopyThatDiffersSaysWhetherItHadAGapLostSamplesOrChanged) {
    std::vector<float> expected(4000);
    uint32_t state = 1;
    for (float& sample : expected) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    }
    std::vector<float> exact(100, 0.0f);
    exact.insert(exact.end(), expected.begin(), expected.end());
    exact.resize(exact.size() + 500, 0.0f);
    EXPECT_EQ(describeCopyMismatch(exact, 100, expected, 1e-6f), "");

    std::vector<float> gap = exact;
    gap.insert(gap.begin() + 100 + 1500, 96, 0.0f);
    const std::string gapText = describeCopyMismatch(gap, 100, expected, 1e-6f);
    EXPECT_NE(gapText.find("differs at sample 1500 "), std::string::npos) << gapText;
    EXPECT_NE(gapText.find("96 samples late"), std::string::npos) << gapText;

    std::vector<float> lost = exact;
    lost.erase(lost.begin() + 100 + 1500, lost.begin() + 100 + 1540);
    EXPECT_NE(describeCopyMismatch(lost, 100, expected, 1e-6f).find("40 samples further"), std::string::npos);

    std::vector<float> changed = exact;
    for (size_t i = 100 + 2000; i < changed.size(); ++i) changed[i] *= 0.5f;
    EXPECT_NE(describeCopyMismatch(changed, 100, expected, 1e-6f).find("values changed"), std::string::npos);
}

}  // namespace
}  // namespace mivo::testing
