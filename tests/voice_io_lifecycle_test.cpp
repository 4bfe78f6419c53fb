#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing {
namespace {

using core::VoiceIO;

class Lifecycle : public ::testing::Test {
protected:
    // Copies with a buffer larger than `capacity`, so that a write past it shows.
    struct Copy {
        int64_t result;
        std::vector<char> bytes;
    };
    Copy copyError(int64_t capacity) {
        std::vector<char> bytes(64, '#');
        const int64_t result = voice->copyLastError(bytes.data(), capacity);
        return {result, bytes};
    }

    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    std::shared_ptr<VoiceIO> voice = VoiceIO::create(platform);
};

TEST_F(Lifecycle, AFreshInstanceIsIdleAndHasCalledNothing) {
    const VoiceIOState state = inspect(*voice);
    EXPECT_FALSE(state.running);
    EXPECT_EQ(state.generation, 0u);
    EXPECT_EQ(state.queuedPlaybackFrames, 0);
    EXPECT_EQ(state.playedFrames, 0u);
    EXPECT_FALSE(state.hasEngine || state.hasPlayer || state.hasCaptureConverter ||
                 state.hasCaptureConverterInputFormat || state.hasConfigurationObserver || state.tapInstalled);
    EXPECT_EQ(platform->log().size(), 0u);
    EXPECT_EQ(voice->captureRing().capacity(), 80000);
    EXPECT_EQ(voice->captureFormat(), (platform::AudioFormat{platform::CommonFormat::int16, 16000, 1, false}));
    EXPECT_EQ(voice->playbackFormat(), platform::standardFormat(48000, 1));
    // Never started: the ring is open, so a read waits for its timeout.
    EXPECT_EQ(readCapture(*voice, 160, 20).result, 0);
}

TEST_F(Lifecycle, CopyingTheLastErrorHonoursTheCapacityByteForByte) {
    Copy empty = copyError(16);
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.bytes[0], '\0');
    EXPECT_EQ(empty.bytes[1], '#');

    const std::string message = "VoiceProcessingIO stopped during pl";  // 35 characters
    voice->setLastError(message + "a");
    for (const int64_t capacity : {int64_t{0}, int64_t{-1}, int64_t{-100}}) {
        Copy none = copyError(capacity);
        EXPECT_EQ(none.result, 0);
        EXPECT_EQ(none.bytes[0], '#') << "capacity " << capacity << " writes nothing";
    }
    Copy one = copyError(1);
    EXPECT_EQ(one.result, 0);
    EXPECT_EQ(one.bytes[0], '\0');
    EXPECT_EQ(one.bytes[1], '#');

    Copy cut = copyError(10);
    EXPECT_EQ(cut.result, 9);
    EXPECT_EQ(std::string(cut.bytes.data()), message.substr(0, 9));
    EXPECT_EQ(cut.bytes[10], '#');

    Copy whole = copyError(37);
    EXPECT_EQ(whole.result, 36);
    EXPECT_EQ(std::string(whole.bytes.data()), message + "a");

    // The copy is by bytes: a two-byte character may be cut in half.
    voice->setLastError("a\xC3\xBC" "b");
    Copy half = copyError(3);
    EXPECT_EQ(half.result, 2);
    EXPECT_EQ(half.bytes[0], 'a');
    EXPECT_EQ(half.bytes[1], '\xC3');
    EXPECT_EQ(half.bytes[2], '\0');

    // Replaced, never appended to.
    voice->setLastError("short");
    EXPECT_EQ(lastError(*voice), "short");
}

TEST_F(Lifecycle, StopOnAFreshInstanceCallsNothingAndEndsTheStream) {
    voice->stop();
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();
    EXPECT_EQ(inspect(*voice).generation, 1u);
    auto read = readCaptureAsync(*voice, 160, longTimeoutMs);
    ASSERT_EQ(read.wait_for(promptly), std::future_status::ready);
    EXPECT_EQ(read.get().result, -1);

    voice->stop();
    EXPECT_EQ(platform->log().size(), 0u);
    EXPECT_EQ(inspect(*voice).generation, 2u);
    EXPECT_EQ(lastError(*voice), "");
}

TEST_F(Lifecycle, StopTearsDownInOrderAndSamplesStayReadable) {
    ASSERT_TRUE(voice->start());
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    platform->log().clear();
    voice->stop();
    EXPECT_EQ(platform->log().entries(), (std::vector<std::string>{"removeObserver", "input.removeTapOnBus 0",
                                                                   "player.stop", "player.reset", "engine.stop"}));
    const VoiceIOState state = inspect(*voice);
    EXPECT_FALSE(state.running || state.hasEngine || state.hasPlayer || state.hasCaptureConverter ||
                 state.hasCaptureConverterInputFormat || state.hasConfigurationObserver || state.tapInstalled);
    EXPECT_EQ(state.generation, 1u);

    const auto expected = defaultConversion(ramp(480), 48000, 168);
    const auto first = readCapture(*voice, 100, longTimeoutMs);
    const auto rest = readCapture(*voice, 100, longTimeoutMs);
    ASSERT_EQ(first.result, 100);
    ASSERT_EQ(rest.result, 60);
    EXPECT_EQ(std::vector<int16_t>(expected.begin(), expected.begin() + 100), first.samples);
    EXPECT_EQ(readCapture(*voice, 100, longTimeoutMs).result, -1);

    platform->log().clear();
    voice->stop();
    EXPECT_EQ(platform->log().size(), 0u) << "a second stop has nothing left to tear down";
}

TEST_F(Lifecycle, PlayedFramesSurviveStopAndStart) {
    ASSERT_TRUE(voice->start());
    std::vector<int16_t> frames(480, 7);
    ASSERT_EQ(voice->writePlayback(frames.data(), 480), 1);
    ASSERT_TRUE(platform->currentPlayer()->completeNext());
    EXPECT_EQ(voice->playedFrames(), 480u);
    voice->stop();
    ASSERT_TRUE(voice->start());
    EXPECT_EQ(voice->playedFrames(), 480u);
    EXPECT_EQ(inspect(*voice).queuedPlaybackFrames, 0);
}

TEST_F(Lifecycle, DestroyStopsTheInstanceAndFreesIt) {
    mivo_voice_io* handle = api::createHandle(platform);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    std::weak_ptr<VoiceIO> instance = api::retain(handle);
    const auto engine = platform->currentEngine();
    platform->log().clear();

    mivo_voice_io_destroy(handle);
    EXPECT_TRUE(instance.expired());
    // Its own stop tears everything down; the teardown's second stop finds nothing more to do.
    EXPECT_EQ(platform->log().entries(), (std::vector<std::string>{"removeObserver", "input.removeTapOnBus 0",
                                                                   "player.stop", "player.reset", "engine.stop"}));
    EXPECT_FALSE(engine->input().tapInstalled());
    EXPECT_EQ(platform->registeredObserverCount(), 0u);
}

TEST_F(Lifecycle, DestroyWhileAReaderIsBlockedLetsTheReaderFinishOnALiveInstance) {
    mivo_voice_io* handle = api::createHandle(platform);
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    std::weak_ptr<VoiceIO> instance = api::retain(handle);
    auto reader = std::async(std::launch::async, [handle] {
        std::vector<int16_t> samples(160);
        return mivo_voice_io_read_capture(handle, samples.data(), 160, static_cast<int32_t>(longTimeoutMs));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it block; same outcome if not yet
    mivo_voice_io_destroy(handle);
    ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);
    EXPECT_TRUE(instance.expired());
}

TEST_F(Lifecycle, TheLastReferenceMayBeDroppedOnAnotherThread) {
    ASSERT_TRUE(voice->start());
    std::weak_ptr<VoiceIO> instance = voice;
    const auto engine = platform->currentEngine();
    std::thread owner([last = std::move(voice)]() mutable { last.reset(); });
    owner.join();
    EXPECT_TRUE(instance.expired());
    EXPECT_FALSE(engine->input().tapInstalled());
    EXPECT_FALSE(engine->running());
    EXPECT_EQ(platform->registeredObserverCount(), 0u);
}

}  // namespace
}  // namespace mivo::testing
