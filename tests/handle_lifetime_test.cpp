// A handle after destroy, a handle that was never made, and calls racing destroy: each gets the
// answer a NULL handle gets, and nothing reads freed memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing {
namespace {

TEST(HandleLifetime, ADestroyedHandleGetsTheNullAnswersAndASecondDestroyDoesNothing) {
    const auto platform = std::make_shared<ScriptedPlatform>();
    mivo_voice_io* handle = api::createHandle(platform);
    ASSERT_EQ(mivo_voice_io_start(handle), 0);
    std::vector<int16_t> frames(480, 3);
    ASSERT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 480), 1);
    ASSERT_TRUE(platform->currentPlayer()->completeNext());
    mivo_voice_io_destroy(handle);
    platform->log().clear();

    expectNullHandleAnswers(handle);
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();
}

TEST(HandleLifetime, AValueNeverHandedOutGetsTheNullAnswers) {
    expectNullHandleAnswers(reinterpret_cast<mivo_voice_io*>(uintptr_t{0x10}));
    int stackObject = 0;
    expectNullHandleAnswers(reinterpret_cast<mivo_voice_io*>(&stackObject));
}

// A later instance never answers to an earlier, destroyed handle.
TEST(HandleLifetime, HandleValuesAreNeverReused) {
    const auto platform = std::make_shared<ScriptedPlatform>();
    std::set<mivo_voice_io*> seen;
    for (int i = 0; i < 100; ++i) {
        mivo_voice_io* handle = api::createHandle(platform);
        EXPECT_TRUE(seen.insert(handle).second) << "handle " << handle << " handed out twice";
        mivo_voice_io_destroy(handle);
    }
    mivo_voice_io* live = api::createHandle(platform);
    for (mivo_voice_io* stale : seen) EXPECT_EQ(mivo_voice_io_start(stale), -1);
    EXPECT_EQ(platform->log().countPrefix("getPropertyData"), 0u) << "a stale handle started the live instance";
    mivo_voice_io_destroy(live);
}

// Host threads keep calling on a handle while its owner destroys it: every call returns one of the
// answers its contract allows, and the instance goes once the last call inside it has returned.
TEST(HandleLifetime, CallsRacingDestroyFinishOnALiveInstanceOrGetTheNullAnswers) {
    const auto platform = std::make_shared<ScriptedPlatform>();
    constexpr int rounds = 60;
    for (int round = 0; round < rounds; ++round) {
        std::atomic<mivo_voice_io*> shared{api::createHandle(platform)};
        ASSERT_EQ(mivo_voice_io_start(shared.load()), 0);
        const std::weak_ptr<core::VoiceIO> instance = api::retain(shared.load());
        std::atomic<bool> destroyed{false};
        std::atomic<int> callsAfterDestroy{0};

        std::vector<std::jthread> callers;
        for (int t = 0; t < 3; ++t) {
            callers.emplace_back([&, t] {
                std::vector<int16_t> samples(160, 1);
                char text[64];
                // Keep calling until a few calls have been made on the destroyed handle.
                for (int i = 0; callsAfterDestroy.load() < 30; ++i) {
                    const bool after = destroyed.load();
                    mivo_voice_io* handle = shared.load();
                    int64_t result = 0;
                    int64_t nullAnswer = 0;
                    bool allowed = true;
                    switch ((i + t) % 5) {
                        case 0:
                            result = mivo_voice_io_read_capture(handle, samples.data(), 160, 0);
                            nullAnswer = -2;
                            allowed = result >= -2 && result <= 0;
                            break;
                        case 1:
                            result = mivo_voice_io_write_playback(handle, samples.data(), 48);
                            nullAnswer = -1;
                            allowed = result >= -1 && result <= 1;
                            break;
                        case 2:
                            result = static_cast<int64_t>(mivo_voice_io_played_frames(handle));
                            break;
                        case 3:
                            result = mivo_voice_io_copy_last_error(handle, text, sizeof text);
                            allowed = result >= 0 && result < static_cast<int64_t>(sizeof text);
                            break;
                        case 4:
                            result = mivo_voice_io_interrupt_playback(handle);
                            nullAnswer = -1;
                            allowed = result == 0 || result == -1;
                            break;
                    }
                    EXPECT_TRUE(after ? result == nullAnswer : allowed)
                        << "call " << (i + t) % 5 << " gave " << result << (after ? " after destroy" : "");
                    if (after) ++callsAfterDestroy;
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 7)));
        mivo_voice_io_destroy(shared.load());
        destroyed = true;
        callers.clear();
        EXPECT_TRUE(instance.expired()) << "round " << round;
    }
}

}  // namespace
}  // namespace mivo::testing
