// The delay finder on synthetic signals: it must report the lag at which the capture repeats the
// reference, keep quiet when the capture does not, and find a lag again after it moved.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/pulse/echo_delay_finder.h"
#include "synthetic_room.h"

namespace mivo::testing {
namespace {

using platform::pulse::EchoDelayFinder;

// The finder as a room listener.
struct Finder {
    EchoDelayFinder finder;
    void reference(const float* frame) { finder.addReference(frame); }
    void capture(const float* frame) { finder.addCapture(frame); }
    int settledLagMs() const { return finder.settledLagMs(); }
    void reset() { finder.reset(); }
};

TEST(EchoDelayFinderTest, FindsTheLagOfTheEcho) {
    for (double lag : {0.0, 7.5, 55.0, 180.0, 300.0}) {
        Finder finder;
        Room room(1);
        room.run(finder, static_cast<size_t>(lagOf(lag)), 3.0);
        EXPECT_NEAR(finder.settledLagMs(), lag, 1.0) << "echo " << lag << " ms after the reference";
    }
}

TEST(EchoDelayFinderTest, FindsAQuietEchoUnderNoise) {
    Finder finder;
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
    Finder finder;
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
