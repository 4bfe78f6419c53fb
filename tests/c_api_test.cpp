#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <limits>
#include <vector>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing {
namespace {

std::string copyError(mivo_voice_io* handle) {
    char text[256] = {};
    mivo_voice_io_copy_last_error(handle, text, sizeof text);
    return text;
}

class CApi : public ::testing::Test {
protected:
    void TearDown() override { mivo_voice_io_destroy(handle); }

    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    mivo_voice_io* handle = api::createHandle(platform);
};

TEST(CApiNullHandle, EveryEntryPointAnswersItsNullValueAndTouchesNothing) { expectNullHandleAnswers(nullptr); }

TEST_F(CApi, NullBuffersAreRejectedWithoutRecordingAnything) {
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(mivo_voice_io_read_capture(handle, nullptr, 160, 0), -2);
    // Not running either, but the null source is answered first: no "not running" text.
    EXPECT_EQ(mivo_voice_io_write_playback(handle, nullptr, 480), -1);
    EXPECT_EQ(mivo_voice_io_copy_last_error(handle, nullptr, 16), 0);
    EXPECT_EQ(copyError(handle), "");
    EXPECT_EQ(platform->log().size(), 0u);
}

TEST_F(CApi, NonPositiveCountsAreAnsweredAtOnce) {
    int16_t samples[4] = {9, 9, 9, 9};
    auto reads = std::async(std::launch::async, [&] {
        return std::vector<int32_t>{mivo_voice_io_read_capture(handle, samples, 0, 30000),
                                    mivo_voice_io_read_capture(handle, samples, -5, 30000),
                                    mivo_voice_io_read_capture(handle, samples, std::numeric_limits<int32_t>::min(),
                                                               30000)};
    });
    ASSERT_EQ(reads.wait_for(promptly), std::future_status::ready);
    EXPECT_EQ(reads.get(), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(samples[0], 9);

    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, 0), 1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, samples, -1), 1);
    EXPECT_EQ(copyError(handle), "") << "a write of nothing records nothing, even when not running";

    char text[4] = "xyz";
    EXPECT_EQ(mivo_voice_io_copy_last_error(handle, text, 0), 0);
    EXPECT_EQ(mivo_voice_io_copy_last_error(handle, text, -1), 0);
    EXPECT_STREQ(text, "xyz");
}

TEST_F(CApi, ANegativeTimeoutDoesNotWait) {
    int16_t samples[160];
    auto read = std::async(std::launch::async, [&] {
        return mivo_voice_io_read_capture(handle, samples, 160, std::numeric_limits<int32_t>::min());
    });
    ASSERT_EQ(read.wait_for(promptly), std::future_status::ready);
    EXPECT_EQ(read.get(), 0);
}

TEST_F(CApi, AFullRunThroughTheEntryPoints) {
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 0u);
    EXPECT_EQ(mivo_voice_io_wait_playback(handle), -1);
    EXPECT_EQ(copyError(handle), "VoiceProcessingIO is not running");

    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    EXPECT_EQ(mivo_voice_io_start(handle), 0) << "already running";

    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    std::vector<int16_t> captured(160);
    EXPECT_EQ(mivo_voice_io_read_capture(handle, captured.data(), 160, 1000), 160);
    EXPECT_EQ(captured, defaultConversion(ramp(480), 48000, 168));

    std::vector<int16_t> frames(480, 16384);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 480), 1);
    const auto scheduled = platform->currentPlayer()->scheduled();
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].samples, std::vector<float>(480, 0.5f));
    ASSERT_TRUE(platform->currentPlayer()->completeNext());
    EXPECT_EQ(mivo_voice_io_wait_playback(handle), 1);
    EXPECT_EQ(mivo_voice_io_played_frames(handle), 480u);
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0);

    mivo_voice_io_stop(handle);
    EXPECT_EQ(mivo_voice_io_read_capture(handle, captured.data(), 160, 30000), -1);
    mivo_voice_io_stop(handle);
}

TEST_F(CApi, AFailedStartReturnsMinusOneWithTheReason) {
    platform->setInputDevice(0, 0);
    EXPECT_EQ(mivo_voice_io_start(handle), -1);
    EXPECT_EQ(copyError(handle), startPrefix + "No default input or output audio device is available");
    int16_t sample;
    EXPECT_EQ(mivo_voice_io_read_capture(handle, &sample, 1, 30000), -1);
}

TEST_F(CApi, AConfigurationChangeReadsAsMinusTwoThroughTheEntryPoint) {
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    platform->postConfigurationChange();
    int16_t sample;
    EXPECT_EQ(mivo_voice_io_read_capture(handle, &sample, 1, 30000), -2);
    EXPECT_EQ(copyError(handle), configurationChanged);
}

}  // namespace
}  // namespace mivo::testing
