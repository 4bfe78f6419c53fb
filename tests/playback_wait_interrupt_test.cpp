// Waiting for queued playback to finish, interrupting it, and the played-frame counter, including
// what late completions and a destroyed instance do to them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "playback_fixture.h"

namespace mivo::testing::playback {
namespace {

using BufferState = ScriptedPlayerNode::BufferState;

using PlaybackWait = PlaybackFixture;

TEST_F(PlaybackWait, ReturnsAtOnceWhenNothingIsQueuedAndFailsAtOnceWhenNotRunning) {
    EXPECT_EQ(voice->waitForPlayback(), 1);
    ASSERT_EQ(write(480), 1);
    ASSERT_EQ(player().completeAll(), 1u);
    EXPECT_EQ(voice->waitForPlayback(), 1);
    EXPECT_EQ(lastError(), "");

    auto neverStarted = VoiceIO::create(platform);
    log().clear();
    EXPECT_EQ(neverStarted->waitForPlayback(), -1);
    char text[64];
    neverStarted->copyLastError(text, sizeof text);
    EXPECT_EQ(std::string(text), notRunning);
    EXPECT_EQ(log().size(), 0u) << log().dump();

    voice->stop();
    EXPECT_EQ(voice->waitForPlayback(), -1);
    EXPECT_EQ(lastError(), notRunning);
}

TEST_F(PlaybackWait, WaitersReturnOnlyOnceTheLastQueuedBufferHasPlayed) {
    ASSERT_EQ(write(480), 1);
    ASSERT_EQ(write(960), 1);
    auto first = waitInBackground();
    auto second = waitInBackground();
    ASSERT_TRUE(first->blocks());
    ASSERT_TRUE(second->blocks());

    ASSERT_TRUE(player().completeNext());
    EXPECT_TRUE(first->blocks()) << "woken with 960 frames still queued";
    EXPECT_TRUE(second->blocks()) << "woken with 960 frames still queued";

    ASSERT_TRUE(player().completeNext());
    ASSERT_TRUE(first->returnsWithin(2s));
    ASSERT_TRUE(second->returnsWithin(2s));
    EXPECT_EQ(first->get(), 1);
    EXPECT_EQ(second->get(), 1);
    EXPECT_EQ(voice->playedFrames(), 1440u);
    EXPECT_EQ(lastError(), "");
}

// After a wake-up the tests run as running, generation, then queue: every cancellation also empties
// the queue, so a waiter that looked at the queue first would wrongly report success.
struct WaitCancelCase {
    Cancel cancel;
    int32_t result;
    std::vector<std::string> texts;  // any of these is acceptable as the last error
};

void PrintTo(const WaitCancelCase& c, std::ostream* os) { *os << name(c.cancel); }

class PlaybackWaitCancellation : public PlaybackFixture, public ::testing::WithParamInterface<WaitCancelCase> {};

TEST_P(PlaybackWaitCancellation, WakesEveryWaiterWithTheCancellationsResult) {
    ASSERT_EQ(write(4800), 1);
    auto first = waitInBackground();
    auto second = waitInBackground();
    ASSERT_TRUE(first->blocks());
    ASSERT_TRUE(second->blocks());

    std::jthread canceller = cancel(GetParam().cancel);
    ASSERT_TRUE(first->returnsWithin(2s));
    ASSERT_TRUE(second->returnsWithin(2s));
    joinIfNeeded(canceller);
    EXPECT_EQ(first->get(), GetParam().result);
    EXPECT_EQ(second->get(), GetParam().result);
    bool expectedText = false;
    for (const auto& text : GetParam().texts) expectedText = expectedText || lastError() == text;
    EXPECT_TRUE(expectedText) << "last error: \"" << lastError() << "\"";
    EXPECT_EQ(state().queuedPlaybackFrames, 0);
    EXPECT_EQ(voice->playedFrames(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCancellation, PlaybackWaitCancellation,
    ::testing::Values(WaitCancelCase{Cancel::interrupt, 0, {""}},
                      WaitCancelCase{Cancel::stop, -1, {stoppedDuringPlayback}},
                      WaitCancelCase{Cancel::configurationChange, -1, {stoppedDuringPlayback, configurationChanged}}),
    [](const auto& info) { return std::string(name(info.param.cancel)); });

using PlaybackInterrupt = PlaybackFixture;

TEST_F(PlaybackInterrupt, DropsQueuedAudioUncountedAndRestartsThePlayerForNewWrites) {
    ASSERT_EQ(write(480), 1);
    ASSERT_EQ(write(960), 1);
    const auto before = state();
    log().clear();

    voice->interruptPlayback();
    EXPECT_EQ(log().entries(), (std::vector<std::string>{"player.stop", "player.reset", "player.play"}));
    auto after = state();
    EXPECT_EQ(after.generation, before.generation + 1);
    EXPECT_EQ(after.queuedPlaybackFrames, 0);
    EXPECT_TRUE(after.running);
    for (const auto& buffer : player().scheduled()) EXPECT_EQ(buffer.state, BufferState::dropped);
    EXPECT_EQ(voice->waitForPlayback(), 1) << "a waiter arriving after the interruption finds nothing queued";

    // The dropped buffers' completions belong to the old generation.
    EXPECT_EQ(player().completeDropped(), 2u);
    EXPECT_EQ(state().queuedPlaybackFrames, 0);
    EXPECT_EQ(voice->playedFrames(), 0u);

    ASSERT_EQ(write(240), 1);
    ASSERT_TRUE(player().completeNext());
    EXPECT_EQ(voice->playedFrames(), 240u);
    EXPECT_EQ(state().queuedPlaybackFrames, 0);
}

// A late completion of an old, larger buffer must not eat into the new generation's queue: were it
// counted, the queue would reach 0 and release the waiter early.
TEST_F(PlaybackInterrupt, ALateCompletionOfAnInterruptedBufferChangesNoCounter) {
    ASSERT_EQ(write(4800), 1);
    voice->interruptPlayback();
    ASSERT_EQ(write(480), 1);
    auto waiter = waitInBackground();
    ASSERT_TRUE(waiter->blocks());

    ASSERT_TRUE(player().complete(0));
    EXPECT_TRUE(waiter->blocks());
    EXPECT_EQ(state().queuedPlaybackFrames, 480);
    EXPECT_EQ(voice->playedFrames(), 0u);

    ASSERT_TRUE(player().completeNext());
    ASSERT_TRUE(waiter->returnsWithin(2s));
    EXPECT_EQ(waiter->get(), 1);
    EXPECT_EQ(voice->playedFrames(), 480u);
}

TEST_F(PlaybackInterrupt, AWriteCountedJustBeforeTheInterruptionSucceedsButIsDroppedUncounted) {
    std::jthread interrupter;
    // The hook runs on the control queue after the step counted the buffer; the interruption then
    // waits behind the step and its player stop discards the buffer.
    platform->onNextCall("player.scheduleBuffer 480", [&] { interrupter = cancel(Cancel::interrupt); });
    EXPECT_EQ(write(480), 1);
    joinIfNeeded(interrupter);

    EXPECT_TRUE(log().inOrder({"player.scheduleBuffer 480", "player.stop", "player.reset", "player.play"}))
        << log().dump();
    ASSERT_EQ(player().scheduled().size(), 1u);
    EXPECT_EQ(player().scheduled()[0].state, BufferState::dropped);
    EXPECT_EQ(state().queuedPlaybackFrames, 0);
    EXPECT_EQ(player().completeDropped(), 1u);
    EXPECT_EQ(voice->playedFrames(), 0u);
}

TEST(PlaybackInterruptEntryPoint, OnAnInstanceThatIsNotRunningOnlyTheGenerationMoves) {
    auto platform = std::make_shared<ScriptedPlatform>();
    mivo_voice_io* handle = api::createHandle(platform);
    const auto instance = api::retain(handle);
    auto& voice = *instance;
    EXPECT_EQ(mivo_voice_io_interrupt_playback(nullptr), -1);

    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0);
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0);
    EXPECT_EQ(inspect(voice).generation, 2u);
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();

    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    mivo_voice_io_stop(handle);
    const uint64_t stopped = inspect(voice).generation;
    platform->log().clear();
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0);
    EXPECT_EQ(inspect(voice).generation, stopped + 1);
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();

    // After a device change the player is still there: it is stopped and reset, not restarted.
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    platform->postConfigurationChange();
    platform->log().clear();
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0);
    EXPECT_EQ(platform->log().entries(), (std::vector<std::string>{"player.stop", "player.reset"}));
    EXPECT_FALSE(inspect(voice).running);
    char text[64];
    mivo_voice_io_copy_last_error(handle, text, sizeof text);
    EXPECT_EQ(std::string(text), configurationChanged) << "an interruption records nothing";
    mivo_voice_io_destroy(handle);
}

TEST(PlaybackPlayedFrames, CountsOnlyCompletedBuffersAndSurvivesEveryKindOfEnd) {
    EXPECT_EQ(mivo_voice_io_played_frames(nullptr), 0u);
    auto platform = std::make_shared<ScriptedPlatform>();
    mivo_voice_io* handle = api::createHandle(platform);
    std::vector<int16_t> samples(960, 100);
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 0u);

    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, samples.data(), 480), 1);
    ASSERT_TRUE(platform->currentPlayer()->completeNext());
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 480u);
    mivo_voice_io_stop(handle);
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 480u);

    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 480u);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, samples.data(), 960), 1);
    ASSERT_TRUE(platform->currentPlayer()->completeNext());
    ASSERT_EQ(mivo_voice_io_write_playback(handle, samples.data(), 100), 1);
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0);
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 1440u);
    platform->postConfigurationChange();
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 1440u);
    mivo_voice_io_destroy(handle);
}

// Destroying the handle stops the instance: blocked calls return, the instance goes once they have,
// and the player's late completions find nothing to update.
TEST(PlaybackDestroy, ReleasesBlockedWritersAndWaitersAndLaterCompletionsDoNothing) {
    auto platform = std::make_shared<ScriptedPlatform>();
    mivo_voice_io* handle = api::createHandle(platform);
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    std::vector<int16_t> samples(9600, 1);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, samples.data(), 9600), 1);
    const std::weak_ptr<VoiceIO> instance = api::retain(handle);
    const auto player = platform->currentPlayer();

    Background writer([&] { return mivo_voice_io_write_playback(handle, samples.data(), 480); });
    Background waiter([&] { return mivo_voice_io_wait_playback(handle); });
    ASSERT_TRUE(writer.blocks());
    ASSERT_TRUE(waiter.blocks());

    mivo_voice_io_destroy(handle);
    ASSERT_TRUE(writer.returnsWithin(2s));
    ASSERT_TRUE(waiter.returnsWithin(2s));
    EXPECT_EQ(writer.get(), -1);
    EXPECT_EQ(waiter.get(), -1);
    EXPECT_TRUE(instance.expired());

    EXPECT_EQ(player->completeDropped(), 1u);
    EXPECT_EQ(player->scheduled().size(), 1u) << "the blocked write scheduled nothing";
}

// A write admitted right after an interruption ended the generation can reach the player before the
// interruption's own stop does, which then drops it. Its frames must not stay queued (every later
// wait would time out), and a late completion of the dropped buffer must not count.
TEST_F(PlaybackWait, AWriteRacingAnInterruptionIsNeitherLeftQueuedNorCountedOnceDropped) {
    uint64_t played = 0;
    for (int round = 0; round < 1000; ++round) {
        // The write follows the generation's end as closely as it can, to land inside that window.
        const uint64_t before = state().generation;
        std::jthread interrupter([&] { voice->interruptPlayback(); });
        while (VoiceIOProbe::generation(*voice) == before) {
        }
        const int32_t result = write(480);
        ASSERT_TRUE(result == 0 || result == 1) << result;
        interrupter.join();

        const auto pending = static_cast<int64_t>(player().pendingCount());
        ASSERT_EQ(state().queuedPlaybackFrames, 480 * pending) << "round " << round;
        player().completeDropped();
        ASSERT_EQ(voice->playedFrames(), played) << "a dropped buffer counted, round " << round;
        played += 480 * static_cast<uint64_t>(player().completeAll());
        ASSERT_EQ(voice->playedFrames(), played);
    }
}

// Writers racing a completer and a reader: back-pressure must never lose a wake-up (a writer would
// time out) and every frame written must be counted exactly once.
TEST_F(PlaybackWait, ConcurrentWritersAndCompletionsAccountForEveryFrame) {
    constexpr int writers = 3;
    constexpr int writesEach = 40;
    std::atomic<int> running{writers};
    std::atomic<int64_t> written{0};
    std::atomic<int> failures{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            uint32_t seed = 2654435761u * static_cast<uint32_t>(w + 1);
            for (int i = 0; i < writesEach; ++i) {
                seed = seed * 1664525u + 1013904223u;
                const int64_t frames = 1 + (seed >> 8) % 4000;
                if (write(frames, static_cast<int16_t>(w + 1)) == 1) {
                    written += frames;
                } else {
                    ++failures;
                }
            }
            --running;
        });
    }
    std::atomic<bool> counterWentBack{false};
    std::atomic<bool> queueWentNegative{false};
    std::thread observer([&] {
        uint64_t last = 0;
        while (running > 0) {
            const auto now = state();
            counterWentBack = counterWentBack || now.playedFrames < last;
            queueWentNegative = queueWentNegative || now.queuedPlaybackFrames < 0;
            last = now.playedFrames;
            std::this_thread::yield();
        }
    });
    while (running > 0) {
        if (!player().completeNext()) std::this_thread::yield();
    }
    for (auto& thread : threads) thread.join();
    observer.join();
    player().completeAll();

    EXPECT_EQ(failures, 0) << "last error: " << lastError();
    EXPECT_FALSE(counterWentBack);
    EXPECT_FALSE(queueWentNegative);
    EXPECT_EQ(state().queuedPlaybackFrames, 0);
    EXPECT_EQ(voice->playedFrames(), static_cast<uint64_t>(written.load()));
    const auto scheduled = player().scheduled();
    EXPECT_EQ(scheduled.size(), static_cast<size_t>(writers * writesEach));
    int64_t total = 0;
    for (const auto& buffer : scheduled) total += buffer.frameLength;
    EXPECT_EQ(total, written.load());
    EXPECT_EQ(voice->waitForPlayback(), 1);
}

}  // namespace
}  // namespace mivo::testing::playback
