// The delay finder on synthetic signals: it must report the lag at which the capture repeats the
// reference, keep quiet when the capture does not, and find a lag again after it moved.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/pulse/echo_delay_finder.h"

namespace mivo::testing {
namespace {

using platform::pulse::EchoDelayFinder;
using platform::pulse::processingFrameLength;

// Speech-like reference: noise through a slow resonance, switched on and off like syllables.
class Talker {
public:
    explicit Talker(uint32_t seed) : random_(seed) {}
    float next() {
        const float noise = std::normal_distribution<float>(0.0f, 0.1f)(random_);
        state_ = 0.95f * state_ + noise;
        const bool on = (count_++ / 9600) % 3 != 2;  // 200 ms on, 200 ms on, 200 ms off
        return on ? state_ : 0.0f;
    }

private:
    std::mt19937 random_;
    float state_ = 0.0f;
    uint64_t count_ = 0;
};

// Plays `seconds` more of the talker as reference and captures it back `lagSamples` later (with
// `gain` and noise of its own), in 10 ms frames; the render runs `aheadFrames` ahead of the capture.
class Room {
public:
    explicit Room(uint32_t seed, uint32_t aheadFrames = 3) : talker_(seed), ahead_(aheadFrames) {}

    void run(EchoDelayFinder& finder, size_t lagSamples, double seconds, float gain = 0.5f, float noiseLevel = 0.0f) {
        std::vector<float> frame(processingFrameLength);
        const auto frames = static_cast<int>(seconds * 100);
        for (int f = 0; f < frames; ++f) {
            while (rendered_.size() < captured_ + processingFrameLength * (ahead_ + 1)) {
                for (float& v : frame) {
                    v = talker_.next();
                    rendered_.push_back(v);
                }
                finder.addReference(frame.data());
            }
            for (uint32_t i = 0; i < processingFrameLength; ++i) {
                const size_t n = captured_ + i;
                const float echo = n >= lagSamples ? rendered_[n - lagSamples] : 0.0f;
                frame[i] = gain * echo + std::normal_distribution<float>(0.0f, noiseLevel + 1e-6f)(noise_);
            }
            captured_ += processingFrameLength;
            finder.addCapture(frame.data());
        }
    }

private:
    Talker talker_;
    const uint32_t ahead_;
    std::mt19937 noise_{7};
    std::vector<float> rendered_;
    size_t captured_ = 0;
};

int lagOf(double milliseconds) { return static_cast<int>(milliseconds * 48); }

TEST(EchoDelayFinderTest, FindsTheLagOfTheEcho) {
    for (double lag : {0.0, 7.5, 55.0, 180.0, 300.0}) {
        EchoDelayFinder finder;
        Room room(1);
        room.run(finder, static_cast<size_t>(lagOf(lag)), 3.0);
        EXPECT_NEAR(finder.settledLagMs(), lag, 1.0) << "echo " << lag << " ms after the reference";
    }
}

TEST(EchoDelayFinderTest, FindsAQuietEchoUnderNoise) {
    EchoDelayFinder finder;
    Room room(2);
    room.run(finder, static_cast<size_t>(lagOf(62.0)), 4.0, 0.1f, 0.02f);
    EXPECT_NEAR(finder.settledLagMs(), 62.0, 1.0);
}

TEST(EchoDelayFinderTest, ReportsNothingWhenTheCaptureDoesNotRepeatTheReference) {
    EchoDelayFinder finder;
    Talker reference(3);
    Talker other(4);
    std::vector<float> frame(processingFrameLength);
    for (int f = 0; f < 400; ++f) {
        for (float& v : frame) v = reference.next();
        finder.addReference(frame.data());
        for (float& v : frame) v = other.next();
        finder.addCapture(frame.data());
    }
    EXPECT_EQ(finder.settledLagMs(), -1);
}

TEST(EchoDelayFinderTest, FollowsTheEchoWhenItMovesFarAndAfterAReset) {
    EchoDelayFinder finder;
    Room room(5);
    room.run(finder, static_cast<size_t>(lagOf(40.0)), 3.0);
    ASSERT_NEAR(finder.settledLagMs(), 40.0, 1.0);
    // Moved beyond the lags it watches once it has found one.
    room.run(finder, static_cast<size_t>(lagOf(120.0)), 5.0);
    EXPECT_NEAR(finder.settledLagMs(), 120.0, 1.0);

    finder.reset();
    EXPECT_EQ(finder.settledLagMs(), -1);
    room.run(finder, static_cast<size_t>(lagOf(90.0)), 3.0);
    EXPECT_NEAR(finder.settledLagMs(), 90.0, 1.0);
}

}  // namespace
}  // namespace mivo::testing
