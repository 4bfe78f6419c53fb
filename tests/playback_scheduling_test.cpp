// Playback writes: sample conversion, admission against the 9600-frame limit, the scheduling step
// on the control queue, completion accounting and the write's result codes and texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "playback_fixture.h"

namespace mivo::testing::playback {
namespace {

using platform::CompletionCallbackType;
using Clock = std::chrono::steady_clock;

using PlaybackScheduling = PlaybackFixture;

TEST_F(PlaybackScheduling, EverySampleIsScaledByExactlyTwoToTheMinusFifteenIntoOneBufferOfTheWritesSize) {
    std::vector<int16_t> samples{-32768, 0, 16384, 32767};
    for (int32_t value = -32768; value <= 32767; ++value) samples.push_back(static_cast<int16_t>(value));
    const auto frames = static_cast<int64_t>(samples.size());

    ASSERT_EQ(voice->writePlayback(samples.data(), frames), 1);
    std::fill(samples.begin(), samples.end(), int16_t{7});  // the host may reuse its memory at once

    EXPECT_TRUE(log().inOrder({bufferOf(frames), scheduleOf(frames)})) << log().dump();
    EXPECT_EQ(log().countPrefix("makePCMBuffer"), 1u);
    const auto scheduled = player().scheduled();
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].type, CompletionCallbackType::dataPlayedBack);
    EXPECT_EQ(scheduled[0].frameLength, frames);
    EXPECT_EQ(scheduled[0].buffer->frameCapacity(), frames);
    EXPECT_EQ(describe(scheduled[0].buffer->format()), "48000/1");

    const std::vector<float> played = floatSamples(*scheduled[0].buffer);
    ASSERT_EQ(played.size(), samples.size());
    EXPECT_EQ(played[0], -1.0f);
    EXPECT_EQ(played[1], 0.0f);
    EXPECT_EQ(played[2], 0.5f);
    EXPECT_EQ(played[3], 0.999969482421875f);
    size_t wrong = 0;
    for (int32_t value = -32768; value <= 32767; ++value) {
        wrong += played[static_cast<size_t>(value + 32768 + 4)] != std::ldexp(static_cast<float>(value), -15);
    }
    EXPECT_EQ(wrong, 0u) << "samples not equal to value * 2^-15";
    EXPECT_EQ(state().queuedPlaybackFrames, frames);
}

TEST_F(PlaybackScheduling, CompletionsMoveEachBufferFromQueuedToPlayedWhole) {
    ASSERT_EQ(write(480), 1);
    ASSERT_EQ(write(960), 1);
    EXPECT_EQ(state().queuedPlaybackFrames, 1440);
    EXPECT_EQ(voice->playedFrames(), 0u);

    ASSERT_TRUE(player().completeNext());
    EXPECT_EQ(state().queuedPlaybackFrames, 960);
    EXPECT_EQ(voice->playedFrames(), 480u);
    ASSERT_TRUE(player().completeNext());
    EXPECT_EQ(state().queuedPlaybackFrames, 0);
    EXPECT_EQ(voice->playedFrames(), 1440u);
}

TEST_F(PlaybackScheduling, ThePlayerIsStartedOnlyWhenItSaysItIsIdle) {
    ASSERT_EQ(write(480), 1);  // start left the player playing
    EXPECT_TRUE(log().inOrder({scheduleOf(480), "player.isPlaying"})) << log().dump();
    EXPECT_FALSE(log().contains("player.play"));

    player().stop();  // as if the platform had stopped it
    log().clear();
    ASSERT_EQ(write(240), 1);
    EXPECT_TRUE(log().inOrder({scheduleOf(240), "player.isPlaying", "player.play"})) << log().dump();
    EXPECT_TRUE(player().playing());
}

// A platform may run a completion, or take its own locks, inside any of its calls: the core must
// call it holding neither the state lock nor the error lock.
TEST_F(PlaybackScheduling, NoLockIsHeldWhileThePlatformIsCalled) {
    std::atomic<int> free{0}, held{0};
    auto probe = [&, voice = voice] {
        auto done = std::make_shared<std::promise<void>>();
        // Detached: were a lock held for good, the probe would wait on it rather than hang the test.
        std::thread([voice, done] {
            voice->playedFrames();
            char text[8];
            voice->copyLastError(text, sizeof text);
            done->set_value();
        }).detach();
        (done->get_future().wait_for(2s) == std::future_status::ready ? free : held)++;
    };
    platform->onEveryCall("makePCMBuffer", probe);
    platform->onEveryCall("player.", probe);
    player().stop();  // so that the write also calls play

    ASSERT_EQ(write(480), 1);
    voice->interruptPlayback();
    platform->clearHooks();
    EXPECT_TRUE(log().inOrder({"makePCMBuffer 48000/1 480", "player.scheduleBuffer 480", "player.isPlaying",
                               "player.play", "player.stop", "player.reset", "player.play"}))
        << log().dump();
    EXPECT_EQ(held, 0);
    EXPECT_GE(free, 8);
}

TEST_F(PlaybackScheduling, AdmissionLooksOnlyAtTheQueueSoOneWriteMayOvershootTheLimit) {
    ASSERT_EQ(write(9599), 1);
    // Below the limit by one frame: a whole second of audio is admitted without waiting.
    ASSERT_EQ(write(48000), 1);
    EXPECT_EQ(state().queuedPlaybackFrames, 57599);
    EXPECT_EQ(player().scheduled().size(), 2u);
}

TEST_F(PlaybackScheduling, AWriterAtTheLimitBlocksUntilACompletionBringsTheQueueBelowIt) {
    ASSERT_EQ(write(4800), 1);
    ASSERT_EQ(write(4800), 1);  // exactly 9600: not below the limit
    auto writer = writeInBackground(480);
    ASSERT_TRUE(writer->blocks());
    EXPECT_EQ(log().countPrefix("makePCMBuffer"), 2u) << "nothing is built before admission";

    ASSERT_TRUE(player().completeNext());
    ASSERT_TRUE(writer->returnsWithin(2s)) << "a completion that makes room must release the writer";
    EXPECT_EQ(writer->get(), 1);
    EXPECT_EQ(state().queuedPlaybackFrames, 4800 + 480);
    EXPECT_EQ(voice->playedFrames(), 4800u);
}

// Writers released together all schedule their whole chunks (admission reserves nothing), each as
// one buffer built and scheduled without another writer's step in between, in the same order.
TEST_F(PlaybackScheduling, WritersReleasedTogetherScheduleWholeBuffersInTheOrderTheirStepsRan) {
    ASSERT_EQ(write(9600), 1);
    std::vector<std::unique_ptr<Background>> writers;
    for (int16_t id = 1; id <= 4; ++id) writers.push_back(writeInBackground(3000 + id, id));
    for (auto& writer : writers) ASSERT_TRUE(writer->blocks());
    log().clear();

    ASSERT_TRUE(player().completeNext());
    for (auto& writer : writers) {
        ASSERT_TRUE(writer->returnsWithin(generous));
        EXPECT_EQ(writer->get(), 1);
    }
    EXPECT_EQ(state().queuedPlaybackFrames, 3001 + 3002 + 3003 + 3004);

    std::vector<std::string> steps;
    for (const auto& entry : log().entries()) {
        if (entry.starts_with("makePCMBuffer") || entry.starts_with("player.scheduleBuffer")) steps.push_back(entry);
    }
    const auto scheduled = player().scheduled();
    ASSERT_EQ(scheduled.size(), 5u);
    ASSERT_EQ(steps.size(), 8u) << log().dump();
    for (size_t i = 0; i < 4; ++i) {
        const auto& buffer = scheduled[i + 1];
        const auto id = static_cast<int16_t>(buffer.frameLength - 3000);
        EXPECT_EQ(steps[2 * i], bufferOf(buffer.frameLength)) << log().dump();
        EXPECT_EQ(steps[2 * i + 1], scheduleOf(buffer.frameLength)) << log().dump();
        EXPECT_EQ(buffer.samples, std::vector<float>(buffer.frameLength, std::ldexp(float(id), -15)))
            << "buffer " << i + 1 << " holds another writer's samples";
    }
}

// Admission's deadline is taken once; completions that wake the writer without making room do
// not renew it. The wait's deadline behaves the same, and its time-out cancels nothing. Both run
// at once, the wait starting a second later, so one wait covers both and their texts stay apart.
TEST_F(PlaybackScheduling, BothPlaybackWaitsTimeOutFiveSecondsAfterTheyBeganDespiteWakeUps) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(write(10), 1);
    ASSERT_EQ(write(250000), 1);  // more than five seconds of audio, admitted in one write
    const int64_t queued = state().queuedPlaybackFrames;

    const auto begin = Clock::now();
    auto writer = writeInBackground(480);
    ASSERT_TRUE(writer->blocks());
    std::this_thread::sleep_until(begin + 500ms);
    ASSERT_TRUE(player().completeNext());  // wakes the writer; the queue stays far above the limit
    std::this_thread::sleep_until(begin + 1s);
    const auto waitBegin = Clock::now();
    auto waiter = waitInBackground();
    ASSERT_TRUE(waiter->blocks());
    for (auto at : {1500ms, 2500ms, 3500ms, 4300ms}) {
        std::this_thread::sleep_until(begin + at);
        ASSERT_TRUE(player().completeNext());
        EXPECT_FALSE(writer->returned());
        EXPECT_FALSE(waiter->returned());
    }

    ASSERT_TRUE(writer->returnsWithin(10s));
    const auto writerTook = Clock::now() - begin;
    EXPECT_EQ(writer->get(), -1);
    EXPECT_EQ(lastError(), capacityTimeout);
    EXPECT_GE(writerTook, 5s);
    EXPECT_LT(writerTook, 8s) << "the wake-up at 4.3 s must not have renewed the deadline";

    ASSERT_TRUE(waiter->returnsWithin(10s));
    const auto waitTook = Clock::now() - waitBegin;
    EXPECT_EQ(waiter->get(), -1);
    EXPECT_EQ(lastError(), waitTimeout);
    EXPECT_GE(waitTook, 5s);
    EXPECT_LT(waitTook, 8s) << "the wake-up at 4.3 s must not have renewed the deadline";

    // Neither time-out cancelled anything: the long buffer is still playing and counts when done.
    EXPECT_EQ(state().queuedPlaybackFrames, queued - 50);
    EXPECT_TRUE(state().running);
    EXPECT_FALSE(log().contains("player.stop"));
    EXPECT_FALSE(log().contains(bufferOf(480)));
    ASSERT_TRUE(player().completeNext());
    EXPECT_EQ(state().queuedPlaybackFrames, 0);
    EXPECT_EQ(voice->playedFrames(), 250050u);
}

// --- Through the entry point ----------------------------------------------------------------------

class PlaybackWriteEntryPoint : public ::testing::Test {
protected:
    void TearDown() override { mivo_voice_io_destroy(handle); }
    std::string lastError() {
        char text[256];
        mivo_voice_io_copy_last_error(handle, text, sizeof text);
        return text;
    }

    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    mivo_voice_io* handle = api::createHandle(platform);
    int16_t samples[4] = {1, 2, 3, 4};
};

TEST_F(PlaybackWriteEntryPoint, BadArgumentsGiveTheirValuesRecordNothingAndTouchNoPlatform) {
    EXPECT_EQ(mivo_voice_io_write_playback(nullptr, samples, 4), -1);
    EXPECT_EQ(mivo_voice_io_write_playback(nullptr, samples, 0), -1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, nullptr, 4), -1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, nullptr, 0), -1) << "the pointer is checked first";
    // Nothing to play succeeds even on an instance that never started.
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, 0), 1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, -1), 1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, std::numeric_limits<int32_t>::min()), 1);
    EXPECT_EQ(lastError(), "");
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();

    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    platform->log().clear();
    EXPECT_EQ(mivo_voice_io_write_playback(handle, nullptr, 4), -1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, -7), 1);
    EXPECT_EQ(lastError(), "");
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();
    EXPECT_EQ(inspect(*api::retain(handle)).queuedPlaybackFrames, 0);
}

TEST_F(PlaybackWriteEntryPoint, WritingToAnInstanceThatIsNotRunningFailsAtOnce) {
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, 4), -1);
    EXPECT_EQ(lastError(), notRunning);
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();

    // Each time another text is recorded first, so that the check sees a fresh recording.
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    platform->postConfigurationChange();
    ASSERT_EQ(lastError(), configurationChanged);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, 4), -1);
    EXPECT_EQ(lastError(), notRunning);

    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, samples, std::numeric_limits<int32_t>::max()), -1);
    ASSERT_EQ(lastError(), bufferFailure);
    mivo_voice_io_stop(handle);
    platform->log().clear();
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, 4), -1);
    EXPECT_EQ(lastError(), notRunning);
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();
}

// A host may hand its samples at any address, for example from inside a packed message.
TEST_F(PlaybackWriteEntryPoint, SamplesAtAnOddAddressAreReadAsTheyAre) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    const int16_t values[4] = {-32768, 16384, 1, 32767};
    alignas(int16_t) unsigned char bytes[1 + sizeof values];
    std::memcpy(bytes + 1, values, sizeof values);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, reinterpret_cast<const int16_t*>(bytes + 1), 4), 1);
    EXPECT_EQ(platform->currentPlayer()->scheduled().at(0).samples,
              (std::vector<float>{-1.0f, 0.5f, 1 / 32768.0f, 32767 / 32768.0f}));
}

// Far beyond any buffer the platform will make: refused cleanly, never allocated or read.
TEST_F(PlaybackWriteEntryPoint, AWriteOfInt32MaxFramesFailsWithoutTouchingTheSamples) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    const auto before = inspect(*api::retain(handle));

    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, std::numeric_limits<int32_t>::max()), -1);
    EXPECT_EQ(lastError(), bufferFailure);
    EXPECT_TRUE(platform->log().contains(bufferOf(std::numeric_limits<int32_t>::max())));
    EXPECT_EQ(platform->log().countPrefix("player.scheduleBuffer"), 0u);
    const auto after = inspect(*api::retain(handle));
    EXPECT_TRUE(after.running);
    EXPECT_EQ(after.generation, before.generation);
    EXPECT_EQ(after.queuedPlaybackFrames, 0);

    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, 4), 1);
    EXPECT_EQ(platform->currentPlayer()->scheduled().at(0).samples,
              (std::vector<float>{1 / 32768.0f, 2 / 32768.0f, 3 / 32768.0f, 4 / 32768.0f}));
}

}  // namespace
}  // namespace mivo::testing::playback
