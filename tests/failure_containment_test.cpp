// Platform calls that throw, and platform callbacks that break their promises: nothing thrown
// reaches the host, teardown runs to the end, and the counters stay true.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing {
namespace {

using namespace std::chrono_literals;

// Makes every call that starts with `prefix` throw, as a platform out of memory or out of luck might.
void throwOnEvery(ScriptedPlatform& platform, const std::string& prefix) {
    platform.onEveryCall(prefix, [prefix] { throw std::runtime_error("thrown by " + prefix); });
}
void throwOnNext(ScriptedPlatform& platform, const std::string& prefix) {
    platform.onNextCall(prefix, [prefix] { throw std::runtime_error("thrown by " + prefix); });
}

class FailureContainment : public ::testing::Test {
protected:
    void TearDown() override {
        platform->clearHooks();
        mivo_voice_io_destroy(handle);
    }
    std::string lastError() {
        char text[256];
        mivo_voice_io_copy_last_error(handle, text, sizeof text);
        return text;
    }
    // A capture read that blocks until the stream ends, on a thread of its own.
    std::future<int32_t> blockedRead() {
        return std::async(std::launch::async, [this] {
            int16_t samples[160];
            return mivo_voice_io_read_capture(handle, samples, 160, static_cast<int32_t>(longTimeoutMs));
        });
    }

    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    mivo_voice_io* handle = api::createHandle(platform);
};

const std::vector<std::string> teardownCalls = {"removeObserver", "input.removeTapOnBus 0", "player.stop",
                                                "player.reset", "engine.stop"};

class ThrowingTeardown : public FailureContainment, public ::testing::WithParamInterface<std::string> {};

// Every later step still runs, so the engine is stopped, the ring ends and blocked readers return.
TEST_P(ThrowingTeardown, StopStillTearsEverythingDownAndAStartAfterwardsWorks) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    auto reader = blockedRead();
    platform->log().clear();
    throwOnEvery(*platform, GetParam());

    mivo_voice_io_stop(handle);
    ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready) << "the ring was not ended";
    EXPECT_EQ(reader.get(), -1);
    for (const auto& call : teardownCalls) EXPECT_TRUE(platform->log().contains(call)) << call << " skipped";
    EXPECT_FALSE(inspect(*api::retain(handle)).hasEngine);

    platform->clearHooks();
    EXPECT_EQ(mivo_voice_io_start(handle), 0) << lastError();
}

TEST_P(ThrowingTeardown, DestroyReturnsAndFreesTheInstance) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    auto reader = blockedRead();
    const std::weak_ptr<core::VoiceIO> instance = api::retain(handle);
    throwOnEvery(*platform, GetParam());

    std::this_thread::sleep_for(20ms);  // let the reader block; if it comes later it gets the NULL answer

    mivo_voice_io_destroy(handle);
    ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready) << "the ring was not ended";
    const int32_t read = reader.get();
    EXPECT_TRUE(read == -1 || read == -2) << read;
    EXPECT_TRUE(instance.expired());
}

INSTANTIATE_TEST_SUITE_P(EachCall, ThrowingTeardown, ::testing::ValuesIn(teardownCalls),
                         [](const auto& info) {
                             std::string name;
                             for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

struct ThrowingStartCase {
    std::string call;
    bool teardownThrowsToo;
};
void PrintTo(const ThrowingStartCase& c, std::ostream* os) { *os << c.call << (c.teardownThrowsToo ? " +teardown" : ""); }

class ThrowingStart : public FailureContainment, public ::testing::WithParamInterface<ThrowingStartCase> {};

// The failure path's own stop may throw as well; the start still just fails with the reason.
TEST_P(ThrowingStart, FailsWithWhatWasThrownAndLeavesTheInstanceStopped) {
    throwOnNext(*platform, GetParam().call);
    if (GetParam().teardownThrowsToo) {
        throwOnEvery(*platform, "player.stop");
        throwOnEvery(*platform, "engine.stop");
    }
    EXPECT_EQ(mivo_voice_io_start(handle), -1);
    EXPECT_EQ(lastError(), startPrefix + "thrown by " + GetParam().call);
    const VoiceIOState state = inspect(*api::retain(handle));
    EXPECT_FALSE(state.running || state.hasEngine || state.hasPlayer || state.hasConfigurationObserver ||
                 state.tapInstalled);
    EXPECT_EQ(platform->registeredObserverCount(), 0u);
    for (const auto& engine : platform->engines()) EXPECT_FALSE(engine->input().tapInstalled());
    int16_t sample;
    EXPECT_EQ(mivo_voice_io_read_capture(handle, &sample, 1, static_cast<int32_t>(longTimeoutMs)), -1);

    platform->clearHooks();
    EXPECT_EQ(mivo_voice_io_start(handle), 0) << lastError();
}

std::vector<ThrowingStartCase> throwingStartCases() {
    std::vector<ThrowingStartCase> cases;
    for (const char* call : {"getPropertyData dIn", "makeEngine", "input.setVoiceProcessingEnabled",
                             "input.outputFormatForBus", "engine.connect", "makeConverter", "input.installTapOnBus",
                             "engine.start", "player.play", "addObserver"}) {
        cases.push_back({call, false});
        cases.push_back({call, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EachStep, ThrowingStart, ::testing::ValuesIn(throwingStartCases()),
                         [](const auto& info) {
                             std::string name;
                             for (char c : info.param.call) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name + (info.param.teardownThrowsToo ? "_withTeardown" : "");
                         });

// The throw happens on the capture thread, inside the platform's callback: that buffer is lost,
// the next one is converted as usual.
TEST_F(FailureContainment, ATapBufferWhoseProcessingThrowsIsDroppedAndCaptureGoesOn) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    throwOnNext(*platform, "converter.convert");
    EXPECT_NO_THROW(platform->deliverTap({ramp(480)}));
    throwOnNext(*platform, "makePCMBuffer");
    EXPECT_NO_THROW(platform->deliverTap({ramp(960, 0.1f, 0.0f)}));  // a new size: new buffers
    ASSERT_TRUE(platform->deliverTap({ramp(480, 0.25f)}));
    std::vector<int16_t> samples(160);
    ASSERT_EQ(mivo_voice_io_read_capture(handle, samples.data(), 160, 0), 160);
    EXPECT_EQ(samples, defaultConversion(ramp(480, 0.25f), 48000, 168));
}

// Nothing stays counted for a buffer that never reached the player, so waits do not hang on it.
TEST_F(FailureContainment, ASchedulingThatThrowsFailsTheWriteAndLeavesNothingQueued) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    std::vector<int16_t> frames(4800, 5);
    throwOnNext(*platform, "player.scheduleBuffer");
    EXPECT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 4800), -1);
    EXPECT_EQ(lastError(), std::string(base::texts::bufferFailure));
    EXPECT_EQ(inspect(*api::retain(handle)).queuedPlaybackFrames, 0);

    auto wait = std::async(std::launch::async, [this] { return mivo_voice_io_wait_playback(handle); });
    ASSERT_EQ(wait.wait_for(2s), std::future_status::ready) << "waits for a buffer that was never scheduled";
    EXPECT_EQ(wait.get(), 1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 4800), 1);
}

TEST_F(FailureContainment, AnInterruptionThatCannotReachThePlayerReportsIt) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    std::vector<int16_t> frames(480, 5);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 480), 1);
    throwOnNext(*platform, "player.stop");
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), -1);
    EXPECT_EQ(inspect(*api::retain(handle)).queuedPlaybackFrames, 0) << "the generation ended all the same";
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0);
}

// A platform that calls a completion handler twice: the buffer is counted once.
TEST_F(FailureContainment, ACompletionDeliveredTwiceCountsOnce) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    std::vector<int16_t> frames(480, 5);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 480), 1);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 240), 1);
    const auto player = platform->currentPlayer();
    ASSERT_TRUE(player->complete(0));
    ASSERT_TRUE(player->completeAgain(0));
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 480u);
    EXPECT_EQ(inspect(*api::retain(handle)).queuedPlaybackFrames, 240) << "the second buffer is still queued";
    ASSERT_TRUE(player->complete(1));
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 720u);
}

}  // namespace
}  // namespace mivo::testing
