#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing {
namespace {

using core::VoiceIO;
using platform::standardFormat;

class ConfigurationChange : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(voice->start()) << lastError(*voice); }

    // One 10 ms tap buffer: 160 samples in the ring.
    void capture(float start = 0.0f) { ASSERT_TRUE(platform->deliverTap({ramp(480, start)})); }
    std::vector<int16_t> captured(float start = 0.0f) { return defaultConversion(ramp(480, start), 48000, 168); }

    // A read that must come back at once despite its long timeout.
    int64_t readNow(int64_t count) {
        auto read = readCaptureAsync(*voice, count, longTimeoutMs);
        if (read.wait_for(promptly) != std::future_status::ready) {
            ADD_FAILURE() << "the read waited";
            read.wait();
        }
        return read.get().result;
    }

    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    std::shared_ptr<VoiceIO> voice = VoiceIO::create(platform);
};

TEST_F(ConfigurationChange, EndsTheRunButTearsNothingDown) {
    const VoiceIOState before = inspect(*voice);
    platform->log().clear();
    EXPECT_EQ(platform->postConfigurationChange(), 1u);

    const VoiceIOState after = inspect(*voice);
    EXPECT_FALSE(after.running);
    EXPECT_EQ(after.generation, before.generation + 1);
    EXPECT_EQ(after.queuedPlaybackFrames, 0);
    EXPECT_EQ(after.playedFrames, before.playedFrames);
    EXPECT_EQ(lastError(*voice), configurationChanged);
    // Everything stays in place until the next stop or start.
    EXPECT_TRUE(after.hasEngine && after.hasPlayer && after.hasCaptureConverter && after.tapInstalled &&
                after.hasConfigurationObserver);
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();
    EXPECT_TRUE(platform->currentEngine()->input().tapInstalled());
    EXPECT_TRUE(platform->observerRegisteredFor(*platform->currentEngine()));

    EXPECT_EQ(readNow(160), -2);
}

TEST_F(ConfigurationChange, KeepsCountedPlaybackAndDropsTheQueue) {
    std::vector<int16_t> frames(4800, 1000);
    ASSERT_EQ(voice->writePlayback(frames.data(), 4800), 1);
    ASSERT_EQ(voice->writePlayback(frames.data(), 4800), 1);
    ASSERT_TRUE(platform->currentPlayer()->completeNext());
    ASSERT_EQ(inspect(*voice).queuedPlaybackFrames, 4800);

    platform->postConfigurationChange();
    EXPECT_EQ(inspect(*voice).queuedPlaybackFrames, 0);
    EXPECT_EQ(inspect(*voice).playedFrames, 4800u);
    // The second buffer's late completion belongs to the ended generation.
    ASSERT_TRUE(platform->currentPlayer()->completeNext());
    EXPECT_EQ(inspect(*voice).playedFrames, 4800u);
    EXPECT_EQ(inspect(*voice).queuedPlaybackFrames, 0);
}

TEST_F(ConfigurationChange, SamplesCapturedBeforeStayReadableThenTheFailureCode) {
    capture();
    platform->postConfigurationChange();
    capture(0.5f);  // the old engine may still deliver: converted, but dropped by the ended ring

    const auto first = readCapture(*voice, 100, longTimeoutMs);
    ASSERT_EQ(first.result, 100);
    const auto rest = readCapture(*voice, 100, longTimeoutMs);
    ASSERT_EQ(rest.result, 60) << "after the end a read returns what is left";
    auto all = first.samples;
    all.insert(all.end(), rest.samples.begin(), rest.samples.end());
    EXPECT_EQ(all, captured());
    EXPECT_EQ(readNow(100), -2);
}

TEST_F(ConfigurationChange, AStopAfterwardsTurnsTheEndIntoAPlainOneAndKeepsTheText) {
    platform->postConfigurationChange();
    platform->log().clear();
    voice->stop();
    EXPECT_TRUE(platform->log().inOrder(
        {"removeObserver", "input.removeTapOnBus 0", "player.stop", "player.reset", "engine.stop"}))
        << platform->log().dump();
    EXPECT_EQ(readNow(160), -1);
    EXPECT_EQ(lastError(*voice), configurationChanged);
    EXPECT_EQ(platform->registeredObserverCount(), 0u);
}

TEST_F(ConfigurationChange, OnlyTheFirstOfTwoNotificationsHasAnEffect) {
    const uint64_t generation = inspect(*voice).generation;
    EXPECT_EQ(platform->postConfigurationChange(), 1u);
    voice->setLastError("recorded in between");
    EXPECT_EQ(platform->postConfigurationChange(), 1u) << "the observer is still registered";
    EXPECT_EQ(inspect(*voice).generation, generation + 1);
    EXPECT_EQ(lastError(*voice), "recorded in between");
}

TEST_F(ConfigurationChange, NotificationsForOtherObjectsAreNotSeen) {
    EXPECT_EQ(platform->post(platform::engineConfigurationChangeNotification, platform.get()), 0u);
    EXPECT_TRUE(inspect(*voice).running);
}

TEST_F(ConfigurationChange, ANotificationWhileNotRunningChangesNothing) {
    voice->stop();
    voice->setLastError("after stop");
    const uint64_t generation = inspect(*voice).generation;
    EXPECT_EQ(platform->postConfigurationChange(), 0u) << "stop unregistered the observer";
    // Called anyway, the block finds the instance not running.
    ASSERT_TRUE(platform->postToRemovedObserver(platform->observers().back().index));
    EXPECT_EQ(inspect(*voice).generation, generation);
    EXPECT_EQ(lastError(*voice), "after stop");
    EXPECT_EQ(readNow(1), -1);
}

TEST_F(ConfigurationChange, ALateNotificationAfterDestructionDoesNothing) {
    std::weak_ptr<VoiceIO> gone = voice;
    voice.reset();
    ASSERT_TRUE(gone.expired()) << "the observer must not keep the instance alive";
    EXPECT_TRUE(platform->postToRemovedObserver(platform->observers().back().index));
}

TEST_F(ConfigurationChange, ABlockedReaderGetsItsSamplesThenTheFailureCode) {
    capture();
    auto reader = readCaptureAsync(*voice, 320, longTimeoutMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it block; same outcome if not yet
    std::thread poster([&] { platform->postConfigurationChange(); });
    ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready);
    poster.join();
    EXPECT_EQ(reader.get().samples, captured());
    EXPECT_EQ(readNow(320), -2);
}

TEST_F(ConfigurationChange, AStartWithoutStopTearsTheOldRunDownFirst) {
    capture();
    const auto oldEngine = platform->currentEngine();
    const auto oldPlayer = platform->currentPlayer();
    platform->postConfigurationChange();
    const VoiceIOState ended = inspect(*voice);
    platform->log().clear();

    ASSERT_TRUE(voice->start()) << lastError(*voice);
    const auto& log = platform->log();
    const size_t newRun = log.indexOf("getPropertyData dIn");
    ASSERT_NE(newRun, CallLog::npos);
    for (const char* teardown :
         {"removeObserver", "input.removeTapOnBus 0", "player.stop", "player.reset", "engine.stop"}) {
        const size_t at = log.indexOf(teardown);
        EXPECT_LT(at, newRun) << teardown << " must come before the new graph\n" << log.dump();
    }
    EXPECT_FALSE(oldEngine->input().tapInstalled());
    EXPECT_FALSE(oldEngine->running());
    EXPECT_FALSE(oldPlayer->playing());
    EXPECT_FALSE(platform->observerRegisteredFor(*oldEngine));

    const auto newEngine = platform->currentEngine();
    ASSERT_NE(newEngine, oldEngine);
    EXPECT_TRUE(platform->observerRegisteredFor(*newEngine));
    EXPECT_EQ(platform->registeredObserverCount(), 1u);
    const VoiceIOState running = inspect(*voice);
    EXPECT_TRUE(running.running);
    EXPECT_EQ(running.generation, ended.generation);
    EXPECT_EQ(running.playedFrames, ended.playedFrames);
    EXPECT_EQ(lastError(*voice), configurationChanged);

    // The ring is open and empty again, and the old tap delivers nothing into it.
    EXPECT_EQ(readCapture(*voice, 1, 0).result, 0);
    EXPECT_FALSE(oldEngine->input().deliver({ramp(480)}));
    EXPECT_EQ(readCapture(*voice, 1, 0).result, 0);
    capture(0.25f);
    EXPECT_EQ(readCapture(*voice, 160).samples, captured(0.25f));
}

TEST_F(ConfigurationChange, AFailedStartAfterwardsLeavesNoObserverAndNoOldGraph) {
    for (const bool earlyFailure : {true, false}) {
        SCOPED_TRACE(earlyFailure ? "fails at the device query" : "fails at engine start");
        ASSERT_TRUE(voice->start());
        const auto oldEngine = platform->currentEngine();
        const auto oldPlayer = platform->currentPlayer();
        platform->postConfigurationChange();
        if (earlyFailure) {
            platform->setInputDevice(0, 0);
        } else {
            platform->failEngineStart("no engine today", Calls::first(1));
        }
        EXPECT_FALSE(voice->start());
        platform->setInputDevice(0, 40);

        EXPECT_EQ(platform->registeredObserverCount(), 0u);
        EXPECT_FALSE(oldEngine->input().tapInstalled());
        EXPECT_FALSE(oldEngine->running());
        EXPECT_FALSE(oldPlayer->playing());
        EXPECT_FALSE(inspect(*voice).hasEngine);
        EXPECT_EQ(readNow(1), -1);
    }
}

TEST_F(ConfigurationChange, RacingAStopEndsTheStreamCleanly) {
    // Whoever takes the state lock first, the stop's end of stream comes last: its removal of the
    // observer waits for a notification in flight.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(voice->start());
        std::atomic<bool> go{false};
        std::thread poster([&] {
            while (!go) std::this_thread::yield();
            platform->postConfigurationChange();
        });
        go = true;
        voice->stop();
        poster.join();
        ASSERT_EQ(readNow(1), -1) << "iteration " << i;
        EXPECT_FALSE(inspect(*voice).running);
    }
}

TEST_F(ConfigurationChange, TapBuffersDeliveredWhileStopRunsAreHarmless) {
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(voice->start());
        std::atomic<bool> delivered{false};
        std::thread audio([&] {
            // Until the tap is gone; each buffer is 160 samples of 0.
            while (platform->deliverTap({std::vector<float>(480, 0.0f)})) delivered = true;
        });
        while (!delivered) std::this_thread::yield();
        voice->stop();
        audio.join();
        // What was captured drains in whole buffers, then the plain end.
        int64_t total = 0;
        for (int64_t got; (got = readCapture(*voice, 160, 0).result) > 0;) total += got;
        EXPECT_EQ(total % 160, 0);
        EXPECT_GT(total, 0);
        EXPECT_EQ(readNow(1), -1);
    }
}

}  // namespace
}  // namespace mivo::testing
