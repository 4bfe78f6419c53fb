// The delay finder on synthetic signals: it must report the lag at which the capture repeats the
// reference, keep quiet when the capture does not, find the echo's first arrival rather than its
// strongest or a ghost of it one pitch period early, and follow the echo when it moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "platform/pulse/echo_delay_finder.h"
#include "synthetic_room.h"

namespace mivo::testing {
namespace {

using platform::pulse::EchoDelayFinder;

// The reference at 16 kHz and its echo through taps of whole samples, frame by frame.
class Echo {
public:
    struct Tap {
        int32_t lag;
        float gain;
    };

    explicit Echo(uint32_t seed, bool voiced = false) : talker_(seed, voiceRate, voiced) {}

    void run(EchoDelayFinder& finder, std::vector<Tap> taps, double seconds, float noise = 0.0f) {
        std::vector<float> reference(voiceFrameLength);
        std::vector<float> capture(voiceFrameLength);
        for (int f = 0; f < static_cast<int>(seconds * 100); ++f) {
            for (uint32_t i = 0; i < voiceFrameLength; ++i) {
                reference[i] = talker_.next();
                past_.push_front(reference[i]);
                if (past_.size() > 16000) past_.pop_back();
                float echo = 0.0f;
                for (const Tap& tap : taps) {
                    if (static_cast<size_t>(tap.lag) < past_.size()) echo += tap.gain * past_[static_cast<size_t>(tap.lag)];
                }
                capture[i] = echo + std::normal_distribution<float>(0.0f, noise + 1e-7f)(random_);
            }
            finder.add(reference.data(), capture.data());
        }
    }

private:
    Talker talker_;
    std::deque<float> past_;
    std::mt19937 random_{9};
};

int32_t samples(double ms) { return static_cast<int32_t>(std::lround(ms * 16)); }

TEST(EchoDelayFinderTest, FindsTheLagOfTheEcho) {
    for (double lag : {0.0, 7.5, 55.0, 180.0, 300.0}) {
        EchoDelayFinder finder;
        Echo echo(1);
        echo.run(finder, {{samples(lag), 0.5f}}, 3.0);
        EXPECT_NEAR(finder.echoLag(), samples(lag), 1) << "echo " << lag << " ms after the reference";
    }
}

TEST(EchoDelayFinderTest, FindsAQuietEchoUnderNoise) {
    EchoDelayFinder finder;
    Echo echo(2);
    echo.run(finder, {{samples(62.0), 0.1f}}, 4.0, 0.02f);
    EXPECT_NEAR(finder.echoLag(), samples(62.0), 1);
}

TEST(EchoDelayFinderTest, ReportsNothingWhenTheCaptureDoesNotRepeatTheReference) {
    EchoDelayFinder finder;
    Talker reference(3, voiceRate);
    Talker other(4, voiceRate);
    std::vector<float> far(voiceFrameLength);
    std::vector<float> near(voiceFrameLength);
    for (int f = 0; f < 400; ++f) {
        for (float& v : far) v = reference.next();
        for (float& v : near) v = other.next();
        finder.add(far.data(), near.data());
    }
    EXPECT_EQ(finder.echoLag(), -1);
}

TEST(EchoDelayFinderTest, FollowsTheEchoWhenItMovesFarAndAfterAReset) {
    EchoDelayFinder finder;
    Echo echo(5);
    echo.run(finder, {{samples(40.0), 0.5f}}, 3.0);
    ASSERT_NEAR(finder.echoLag(), samples(40.0), 1);
    echo.run(finder, {{samples(120.0), 0.5f}}, 3.0);
    EXPECT_NEAR(finder.echoLag(), samples(120.0), 1);

    finder.reset();
    EXPECT_EQ(finder.echoLag(), -1);
    echo.run(finder, {{samples(90.0), 0.5f}}, 3.0);
    EXPECT_NEAR(finder.echoLag(), samples(90.0), 1);
}

TEST(EchoDelayFinderTest, IsNotFooledByThePitchOfAVoicedTalker) {
    // Voiced speech correlates with itself one pitch period (about 9 ms) away: a ghost of the
    // echo that early must never be taken for the echo's start.
    EchoDelayFinder finder;
    Echo echo(6, true);
    echo.run(finder, {{samples(55.0), 0.5f}}, 2.0);
    for (int second = 0; second < 10; ++second) {
        echo.run(finder, {{samples(55.0), 0.5f}}, 1.0);
        EXPECT_NEAR(finder.echoLag(), samples(55.0), 1) << "after " << second + 3 << " s";
    }
}

TEST(EchoDelayFinderTest, TakesTheFirstArrivalRatherThanTheStrongest) {
    EchoDelayFinder finder;
    Echo echo(7, true);
    const std::vector<Echo::Tap> room = {{samples(20.0), 0.15f}, {samples(45.0), 0.5f}, {samples(61.0), -0.2f},
                                         {samples(83.0), 0.12f}};
    echo.run(finder, room, 2.0);
    for (int second = 0; second < 6; ++second) {
        echo.run(finder, room, 1.0);
        EXPECT_NEAR(finder.echoLag(), samples(20.0), 1) << "after " << second + 3 << " s";
    }
}

TEST(EchoDelayFinderTest, TakesTheFirstArrivalWhenTheStrongestFallsBetweenCoarseLags) {
    // The finder looks at 4 kHz first: a reflection half-way between two of its lags peaks at both,
    // and the weak direct path in front of it and three other reflections must still be found.
    for (uint32_t seed : {7u, 11u}) {
        EchoDelayFinder finder;
        Echo echo(seed, true);
        const std::vector<Echo::Tap> room = {{samples(20.0), 0.13f}, {samples(45.0) + 2, 0.5f}, {samples(61.0) + 2, 0.22f},
                                             {samples(83.0), 0.17f}, {samples(100.0), 0.17f}};
        echo.run(finder, room, 3.0);
        for (int second = 0; second < 5; ++second) {
            EXPECT_NEAR(finder.echoLag(), samples(20.0), 1) << "talker " << seed << ", after " << second + 3 << " s";
            echo.run(finder, room, 1.0);
        }
    }
}

TEST(EchoDelayFinderTest, FollowsADriftingEchoToTheSample) {
    // One sample later every half second: 125 ppm over a second, faster than clocks drift.
    EchoDelayFinder finder;
    Echo echo(8, true);
    int32_t lag = samples(60.0);
    echo.run(finder, {{lag, 0.5f}}, 2.0);
    for (int step = 0; step < 16; ++step) {
        ++lag;
        echo.run(finder, {{lag, 0.5f}}, 0.5);
        if (step >= 2) {
            EXPECT_NEAR(finder.echoLag(), lag, 2) << "step " << step;
        }
    }
    echo.run(finder, {{lag, 0.5f}}, 1.0);
    EXPECT_EQ(finder.echoLag(), lag);
}

TEST(EchoDelayFinderTest, AnEchoDriftingFastEitherWayIsNotTakenForAGhostOfItOnePitchPeriodEarly) {
    // A sample every 0.3 s (200 ppm), as two cheap devices' clocks may drift apart. Gathered over
    // a second, the echo smears across neighbouring coarse lags; what taking it out leaves of its
    // ghost one pitch period early must not be taken for an earlier arrival.
    for (int direction : {-1, 1}) {
        EchoDelayFinder finder;
        Echo echo(6, true);
        int32_t lag = samples(60.0);
        int32_t worst = 0;
        for (int step = 0; step < 100; ++step) {
            lag += direction;
            echo.run(finder, {{lag, 0.5f}}, 0.3);
            if (step >= 15) worst = std::max(worst, std::abs(finder.echoLag() - lag));
        }
        EXPECT_LE(worst, 8) << "echo drifting " << (direction < 0 ? "earlier" : "later");
    }
}

}  // namespace
}  // namespace mivo::testing
