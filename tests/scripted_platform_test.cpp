// The scripted platform's own guarantees, which the core's tests build on: teardown waits for
// in-flight blocks, dropped completions stay fireable once, faults hit exactly the calls asked for,
// and the default conversion is the documented one.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "support/scripted_platform.h"

namespace mivo::testing {
namespace {

using namespace std::chrono_literals;
using platform::CompletionCallbackType;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;

// Blocks a callback until released, and tells the test once the callback is inside.
struct Latch {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
};

TEST(ScriptedPlatformTeardown, RemoveTapWaitsForAnInFlightDeliveryAndNeverCallsTheTapAgain) {
    ScriptedPlatform platform;
    auto engine = std::static_pointer_cast<ScriptedEngine>(platform.makeEngine());
    Latch latch;
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
    engine->input().installTapOnBus(0, 480, platform::standardFormat(48000, 1),
                                    [&](const PCMBuffer&, const platform::AudioTime&) {
                                        if (calls++ == 0) {
                                            latch.entered.set_value();
                                            latch.released.wait();
                                            returned = true;
                                        }
                                    });
    std::thread audio([&] { engine->input().deliver({std::vector<float>(480, 0.0f)}); });
    latch.entered.get_future().wait();

    auto removal = std::async(std::launch::async, [&] { engine->input().removeTapOnBus(0); });
    EXPECT_EQ(removal.wait_for(50ms), std::future_status::timeout) << "removal must wait for the tap";
    latch.release.set_value();
    removal.get();
    EXPECT_TRUE(returned);
    audio.join();

    EXPECT_FALSE(engine->input().deliver({std::vector<float>(480, 0.0f)}));
    EXPECT_EQ(calls, 1);
}

TEST(ScriptedPlatformTeardown, RemovalFromInsideTheBlockDoesNotWaitForItself) {
    ScriptedPlatform platform;
    auto engine = std::static_pointer_cast<ScriptedEngine>(platform.makeEngine());
    engine->input().installTapOnBus(0, 1, platform::standardFormat(100, 1),
                                    [&](const PCMBuffer&, const platform::AudioTime&) {
                                        engine->input().removeTapOnBus(0);
                                    });
    EXPECT_TRUE(engine->input().deliver({{0.5f}}));
    EXPECT_FALSE(engine->input().tapInstalled());

    auto self = std::make_shared<std::shared_ptr<platform::ObserverToken>>();
    auto selfRemoving = platform.addObserver("m", &platform, [&] { platform.removeObserver(*self); });
    *self = selfRemoving;
    EXPECT_EQ(platform.post("m", &platform), 1u);
    EXPECT_EQ(platform.post("m", &platform), 0u);
    EXPECT_EQ(platform.registeredObserverCount(), 0u);
}

TEST(ScriptedPlatformTeardown, PlayerStopWaitsForAHandlerInFlightAndDroppedHandlersFireOnceLater) {
    ScriptedPlatform platform;
    auto player = std::static_pointer_cast<ScriptedPlayerNode>(platform.makePlayerNode());
    Latch latch;
    std::atomic<int> firstCalls{0}, secondCalls{0};
    auto buffer = platform.makePCMBuffer(platform::standardFormat(48000, 1), 10);
    buffer->setFrameLength(10);
    player->scheduleBuffer(buffer, CompletionCallbackType::dataPlayedBack, [&](CompletionCallbackType) {
        ++firstCalls;
        latch.entered.set_value();
        latch.released.wait();
    });
    player->scheduleBuffer(buffer, CompletionCallbackType::dataPlayedBack,
                           [&](CompletionCallbackType) { ++secondCalls; });

    std::thread completion([&] { EXPECT_TRUE(player->completeNext()); });
    latch.entered.get_future().wait();
    auto stop = std::async(std::launch::async, [&] { player->stop(); });
    EXPECT_EQ(stop.wait_for(50ms), std::future_status::timeout) << "stop must wait for the handler";
    latch.release.set_value();
    stop.get();
    completion.join();

    EXPECT_EQ(player->pendingCount(), 0u);
    EXPECT_FALSE(player->completeNext());
    EXPECT_EQ(player->scheduled()[1].state, ScriptedPlayerNode::BufferState::dropped);
    EXPECT_EQ(player->completeDropped(), 1u);
    EXPECT_FALSE(player->complete(1));
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 1);
    EXPECT_TRUE(platform.log().inOrder({"player.scheduleBuffer 10", "player.scheduleBuffer 10", "player.stop"}));
}

TEST(ScriptedPlatformFaults, FaultsHitOnlyTheCallsAskedFor) {
    ScriptedPlatform platform;
    const auto mono48k = platform::standardFormat(48000, 1);
    platform.failPCMBuffers({BufferFault::noSampleMemory, 168, std::nullopt, Calls::nth(1)});
    platform.failPCMBuffers({BufferFault::null, std::nullopt, mono48k, Calls::all()});

    const auto int16k = platform::AudioFormat{platform::CommonFormat::int16, 16000, 1, false};
    auto first = platform.makePCMBuffer(int16k, 168);
    auto second = platform.makePCMBuffer(int16k, 168);
    auto third = platform.makePCMBuffer(int16k, 168);
    ASSERT_TRUE(first && second && third);
    EXPECT_NE(first->int16ChannelData(), nullptr);
    EXPECT_EQ(second->int16ChannelData(), nullptr);
    EXPECT_NE(third->int16ChannelData(), nullptr);
    EXPECT_EQ(platform.makePCMBuffer(mono48k, 480), nullptr);

    platform.failEngineStart("no server", Calls::first(1));
    auto engine = platform.makeEngine();
    auto failed = engine->start();
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->description, "no server");
    EXPECT_FALSE(engine->start().has_value());

    platform.setInputDevice(-5, 9);
    uint32_t id = 0, size = 4;
    const platform::PropertyAddress address{platform::defaultInputDeviceSelector, platform::globalScope, 0};
    EXPECT_EQ(platform.getPropertyData(platform::systemObject, address, 0, nullptr, size, &id), -5);
    EXPECT_EQ(id, 9u);
    EXPECT_EQ(platform.log().entries().front(), "makePCMBuffer 16000/1 int16 168");
    EXPECT_TRUE(platform.log().contains("getPropertyData dIn"));
}

TEST(ScriptedPlatformConverter, DefaultConversionPullsUntilTheBlockRunsDryAndRecordsEverything) {
    ScriptedPlatform platform;
    const auto mono = platform::standardFormat(48000, 1);
    const auto int16k = platform::AudioFormat{platform::CommonFormat::int16, 16000, 1, false};
    auto converter = platform.makeConverter(mono, int16k);
    std::vector<float> samples(480);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i) / 480.0f;
    auto input = ScriptedPCMBuffer::fromChannels(mono, {samples});
    auto output = platform.makePCMBuffer(int16k, 168);

    bool given = false;
    std::optional<platform::PlatformError> error;
    const auto status = converter->convert(*output, error, [&](uint32_t, ConverterInputStatus& inputStatus) {
        inputStatus = given ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
        PCMBuffer* answer = given ? nullptr : input.get();
        given = true;
        return answer;
    });
    EXPECT_EQ(status, ConverterOutputStatus::haveData);
    EXPECT_FALSE(error.has_value());
    ASSERT_EQ(output->frameLength(), 160u);
    EXPECT_EQ(int16Samples(*output)[1], toInt16(samples[3]));
    EXPECT_EQ(int16Samples(*output), defaultConversion(samples, 48000, 168));

    const auto calls = platform.currentConverter()->calls();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].pulls.size(), 2u);
    EXPECT_TRUE(calls[0].pulls[0].gaveBuffer);
    EXPECT_FALSE(calls[0].pulls[1].gaveBuffer);
    EXPECT_EQ(calls[0].pulls[1].status, ConverterInputStatus::noDataNow);
    EXPECT_EQ(platform.currentConverter()->fedSamples(), samples);

    EXPECT_EQ(toInt16(1.5f), 32767);
    EXPECT_EQ(toInt16(-1.5f), -32768);
    EXPECT_EQ(toInt16(-1.0f), -32767);

    platform.scriptConvert({ConverterOutputStatus::error, "bad rate", true}, Calls::first(1));
    given = false;
    EXPECT_EQ(converter->convert(*output, error,
                                 [&](uint32_t, ConverterInputStatus& inputStatus) -> PCMBuffer* {
                                     inputStatus = ConverterInputStatus::noDataNow;
                                     return nullptr;
                                 }),
              ConverterOutputStatus::error);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, "bad rate");
}

}  // namespace
}  // namespace mivo::testing
