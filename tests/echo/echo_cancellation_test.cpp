// Echo cancellation end to end: the library on the real platform, in a private daemon's virtual
// rooms (tools/room/rooms.conf): by default module-loopback brings whatever the library plays
// back into the microphone 60 ms later at full level (on PipeWire the room client does); the quiet
// and the reverberant rooms hold the canceller to a floor that it passes and a bypassed one does not.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "bypassing_platform.h"
#include "echo_room.h"

namespace mivo::testing {
namespace {

TEST_F(EchoRoomTest, RemovesTheLoudspeakerEchoAndKeepsTheNearEndTalker) {
    const Session session = run(platform::defaultAudioPlatform(), true);
    ASSERT_FALSE(HasFailure());

    double microphoneDb = 0.0;
    const double reduction = echoReduction(session, &microphoneDb);
    // Without a loud echo at the microphone the comparison would prove nothing.
    ASSERT_GT(microphoneDb, -35.0) << "the room returned no echo";
    EXPECT_GE(reduction, 20.0) << "echo at the microphone " << microphoneDb << " dBFS; the room said:\n"
                               << daemon().roomLog();

    // The near end alone comes through well above what is left of the echo...
    const double nearDb = decibels(session.library.meanSquareBetween(
        after(session.nearStarted, nearAloneAt), after(session.nearStarted, nearAloneAt + session.nearSeconds)));
    const double residualDb = decibels(session.library.meanSquareBetween(after(session.farStarted, convergence),
                                                                         after(session.farStarted, echoWindowEnd)));
    EXPECT_GE(nearDb - residualDb, 15.0) << "near end alone " << nearDb << " dBFS, echo residual " << residualDb;

    // ...and the same utterance is still there while the far end talks over it.
    const NearEndPresence presence = findNearEnd(session);
    // Clearly there, with room for the canceller's run-to-run spread (typically 3 to 7 dB lost);
    // the echo benchmark reports the figure itself.
    EXPECT_GE(presence.correlation, 0.5);
    EXPECT_LE(presence.lossDb, 15.0);
    std::printf("echo reduction %.1f dB (echo at the microphone %.1f dBFS); near end alone %.1f dBFS, residual "
                "%.1f dBFS; double talk: correlation %.2f, near-end loss %.1f dB\n",
                reduction, microphoneDb, nearDb, residualDb, presence.correlation, presence.lossDb);
}

TEST_F(EchoRoomTest, WithProcessingBypassedTheEchoStays) {
    const Session session = run(std::make_shared<BypassingPlatform>(platform::defaultAudioPlatform()), false);
    ASSERT_FALSE(HasFailure());

    double microphoneDb = 0.0;
    const double reduction = echoReduction(session, &microphoneDb);
    ASSERT_GT(microphoneDb, -35.0) << "the room returned no echo";
    EXPECT_LT(reduction, 6.0) << "bypassed, the library still removed the echo";
    std::printf("bypassed: echo reduction %.1f dB (echo at the microphone %.1f dBFS)\n", reduction, microphoneDb);
}

// A room of the matrix with the least echo reduction the library must reach in it.
struct RoomFloor {
    const char* room;
    double floorDb;
};

void PrintTo(const RoomFloor& floor, std::ostream* out) { *out << floor.room; }

class EchoRoomFloorTest : public EchoRoomTest, public ::testing::WithParamInterface<RoomFloor> {
protected:
    std::string roomName() const override { return GetParam().room; }
};

TEST_P(EchoRoomFloorTest, ReducesTheEchoAboveTheFloorAndABypassedCancellerDoesNot) {
    double microphoneDb = 0.0;
    const Session processed = run(platform::defaultAudioPlatform(), false);
    ASSERT_FALSE(HasFailure());
    const double reduction = echoReduction(processed, &microphoneDb);
    ASSERT_GT(microphoneDb, -65.0) << "the room returned no echo";
    EXPECT_GE(reduction, GetParam().floorDb) << "echo at the microphone " << microphoneDb << " dBFS; " << [&] {
        // When it fails: whether the echo was never taken out, or was and came back.
        std::string steps = "by half seconds:";
        for (double at = 0.5; at + 0.5 <= echoWindowEnd; at += 0.5) {
            steps.append(" ").append(std::to_string(std::lround(echoReductionBetween(processed, at, at + 0.5, nullptr))));
        }
        return steps.append(" dB; the room said:\n").append(daemon().roomLog());
    }();

    double bypassedMicrophoneDb = 0.0;
    const Session bypassed = run(std::make_shared<BypassingPlatform>(platform::defaultAudioPlatform()), false);
    ASSERT_FALSE(HasFailure());
    const double bypassedReduction = echoReduction(bypassed, &bypassedMicrophoneDb);
    ASSERT_GT(bypassedMicrophoneDb, -65.0) << "the room returned no echo";
    EXPECT_LT(bypassedReduction, GetParam().floorDb) << "the floor does not tell a canceller from none";
    std::printf("%s: echo reduction %.1f dB (echo at the microphone %.1f dBFS), bypassed %.1f dB, floor %.1f dB\n",
                GetParam().room, reduction, microphoneDb, bypassedReduction, GetParam().floorDb);
}

// A quiet pure delay, where the canceller's residual floor shows, and the office, reverberant with
// RT60 0.3 s. The floors sit under the worst runs of today's canceller (in the sanitized build it
// reached 6.5 to 49 dB in the quiet room and 42 to 45 dB in the office) and above a bypassed one
// (0 dB). The room whose strongest arrival is a reflection is left to the benchmark: today's
// canceller falls to 1 to 8 dB in some runs there.
INSTANTIATE_TEST_SUITE_P(Rooms, EchoRoomFloorTest,
                         ::testing::Values(RoomFloor{"quiet-60", 5.0}, RoomFloor{"office", 8.0}),
                         [](const auto& info) {
                             std::string name = info.param.room;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace mivo::testing
