// Writes that end before their buffer plays: cancelled at each stage of the write, or refused a
// buffer by the platform. Apart from the scheduling suite so that each stays short enough to read.
#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "playback_fixture.h"

namespace mivo::testing::playback {
namespace {

// --- Cancellation at each stage of a write ------------------------------------------------------

enum class Stage {
    waitingForRoom,  // blocked in admission
    afterAdmission,  // one writer building its buffer, a second admitted and queued behind it
};

struct CancelCase {
    Cancel cancel;
    Stage stage;
    int32_t result;
    std::vector<std::string> texts;  // any of these is acceptable as the last error
};

std::string caseName(const ::testing::TestParamInfo<CancelCase>& info) {
    return std::string(name(info.param.cancel)) +
           (info.param.stage == Stage::waitingForRoom ? "WhileWaitingForRoom" : "AfterAdmission");
}
void PrintTo(const CancelCase& c, std::ostream* os) { *os << caseName({c, 0}); }

class PlaybackWriteCancellation : public PlaybackFixture, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(PlaybackWriteCancellation, EndsTheWriteWithItsResultAndSchedulesNothing) {
    const CancelCase& c = GetParam();
    std::jthread canceller;
    if (c.stage == Stage::waitingForRoom) {
        ASSERT_EQ(write(9600), 1);
        auto writer = writeInBackground(480);
        ASSERT_TRUE(writer->blocks());
        canceller = cancel(c.cancel);
        ASSERT_TRUE(writer->returnsWithin(2s));
        EXPECT_EQ(writer->get(), c.result);
        EXPECT_EQ(player().scheduled().size(), 1u);
    } else {
        std::promise<void> entered;
        auto release = std::make_shared<std::promise<void>>();
        platform->onNextCall(bufferOf(100), [&entered, gate = release->get_future().share()] {
            entered.set_value();
            gate.wait();
        });
        std::unique_ptr<Background> building, queuedBehind;
        // Opens the gate on every way out, so that a failed check cannot leave the queue held.
        const std::shared_ptr<void> opener(nullptr, [release](void*) {
            try {
                release->set_value();
            } catch (const std::future_error&) {
            }
        });
        building = writeInBackground(100);
        ASSERT_EQ(entered.get_future().wait_for(generous), std::future_status::ready);
        queuedBehind = writeInBackground(480);
        EXPECT_TRUE(queuedBehind->blocks());
        canceller = cancel(c.cancel);
        release->set_value();
        ASSERT_TRUE(building->returnsWithin(generous));
        ASSERT_TRUE(queuedBehind->returnsWithin(generous));
        EXPECT_EQ(building->get(), c.result);
        EXPECT_EQ(queuedBehind->get(), c.result);
        EXPECT_TRUE(player().scheduled().empty()) << log().dump();
        EXPECT_FALSE(log().contains(bufferOf(480))) << "a step of an ended generation must build nothing";
    }
    joinIfNeeded(canceller);

    EXPECT_EQ(state().queuedPlaybackFrames, 0);
    EXPECT_EQ(voice->playedFrames(), 0u);
    bool expectedText = false;
    for (const auto& text : c.texts) expectedText = expectedText || lastError() == text;
    EXPECT_TRUE(expectedText) << "last error: \"" << lastError() << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    AllStages, PlaybackWriteCancellation,
    ::testing::Values(CancelCase{Cancel::interrupt, Stage::waitingForRoom, 0, {""}},
                      CancelCase{Cancel::stop, Stage::waitingForRoom, -1, {stoppedDuringPlayback}},
                      CancelCase{Cancel::configurationChange, Stage::waitingForRoom, -1,
                                 {stoppedDuringPlayback, configurationChanged}},
                      CancelCase{Cancel::interrupt, Stage::afterAdmission, 0, {""}},
                      CancelCase{Cancel::stop, Stage::afterAdmission, 0, {""}},
                      CancelCase{Cancel::configurationChange, Stage::afterAdmission, 0, {configurationChanged}}),
    caseName);

// --- Buffer creation failures ------------------------------------------------------------------

struct BufferFailureCase {
    BufferFault fault;
    bool interruptedMeanwhile;
};

std::string failureName(const ::testing::TestParamInfo<BufferFailureCase>& info) {
    return std::string(info.param.fault == BufferFault::null ? "Null" : "NoSampleMemory") +
           (info.param.interruptedMeanwhile ? "InterruptedMeanwhile" : "");
}
void PrintTo(const BufferFailureCase& c, std::ostream* os) { *os << failureName({c, 0}); }

class PlaybackBufferFailure : public PlaybackFixture, public ::testing::WithParamInterface<BufferFailureCase> {};

TEST_P(PlaybackBufferFailure, FailsTheWriteWithItsTextAndLeavesNothingBehind) {
    ASSERT_EQ(write(100), 1);
    const auto before = state();
    platform->failPCMBuffers({GetParam().fault, 480u, std::nullopt, Calls::nth(0)});
    std::jthread interrupter;
    if (GetParam().interruptedMeanwhile) {
        // Runs on the control queue while the step builds; the interruption then waits for it.
        platform->onNextCall(bufferOf(480), [&] { interrupter = cancel(Cancel::interrupt); });
    }

    const int32_t result = write(480);
    joinIfNeeded(interrupter);

    EXPECT_EQ(lastError(), bufferFailure);  // recorded whether or not the generation moved on
    EXPECT_FALSE(log().contains(scheduleOf(480))) << log().dump();
    if (GetParam().interruptedMeanwhile) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(state().generation, before.generation + 1);
    } else {
        EXPECT_EQ(result, -1);
        const auto after = state();
        EXPECT_EQ(after.queuedPlaybackFrames, before.queuedPlaybackFrames);
        EXPECT_EQ(after.generation, before.generation);
        EXPECT_TRUE(after.running);
        ASSERT_EQ(write(480), 1) << "the fault was for one buffer only";
        EXPECT_EQ(state().queuedPlaybackFrames, 580);
    }
}

INSTANTIATE_TEST_SUITE_P(NullOrWithoutSampleMemory, PlaybackBufferFailure,
                         ::testing::Values(BufferFailureCase{BufferFault::null, false},
                                           BufferFailureCase{BufferFault::noSampleMemory, false},
                                           BufferFailureCase{BufferFault::null, true},
                                           BufferFailureCase{BufferFault::noSampleMemory, true}),
                         failureName);

}  // namespace
}  // namespace mivo::testing::playback
