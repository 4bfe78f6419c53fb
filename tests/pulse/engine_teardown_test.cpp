// The PulseAudio engine's teardown against a private daemon: stopping players, taps and the
// engine itself from inside their own callbacks, and what a run leaves behind.

#include "pulse_test_support.h"

namespace mivo::testing {
namespace {

using platform::CompletionCallbackType;
using EngineTest = PulseDaemonTest;

TEST_F(EngineTest, PlayerStopWaitsForAHandlerInFlightAndMayBeCalledFromOne) {
    Graph graph = Graph::make();
    ASSERT_FALSE(graph.engine->start().has_value());
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    // The first handler is slow; stop() from this thread must wait for it.
    graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000, 0.1, 0.05)), CompletionCallbackType::dataPlayedBack,
                                 [&](CompletionCallbackType) {
                                     inside = true;
                                     std::this_thread::sleep_for(300ms);
                                     ++calls;
                                     inside = false;
                                 });
    graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000, 0.1, 0.05)), CompletionCallbackType::dataPlayedBack,
                                 [&](CompletionCallbackType) { ++calls; });
    graph.player->play();
    ASSERT_TRUE(eventually([&] { return inside.load(); }, 2s));
    graph.player->stop();
    EXPECT_FALSE(inside.load());
    EXPECT_EQ(calls.load(), 1);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(calls.load(), 1);

    // From inside a handler: no deadlock, and the buffers after it are dropped.
    graph.player->play();
    // A raw pointer: a handler holding its own player strongly would keep both alive forever.
    platform::PlayerNode* player = graph.player.get();
    std::atomic<bool> returned{false};
    graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000, 0.1, 0.05)), CompletionCallbackType::dataPlayedBack,
                                 [&, player](CompletionCallbackType) {
                                     ++calls;
                                     player->stop();
                                     returned = true;
                                 });
    for (int k = 0; k < 3; ++k) {
        graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000, 0.1, 0.05)),
                                     CompletionCallbackType::dataPlayedBack, [&](CompletionCallbackType) { ++calls; });
    }
    ASSERT_TRUE(eventually([&] { return returned.load(); }, 2s));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(calls.load(), 2);
    graph.engine->stop();
}

TEST_F(EngineTest, RemovingTheTapWaitsForItAndWorksFromInsideIt) {
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true);
    Graph graph = Graph::make();
    auto input = graph.engine->inputNode();
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    input->installTapOnBus(0, 480, input->outputFormatForBus(0), [&](const PCMBuffer&, const AudioTime&) {
        inside = true;
        ++calls;
        std::this_thread::sleep_for(50ms);
        inside = false;
    });
    ASSERT_FALSE(graph.engine->start().has_value());
    ASSERT_TRUE(eventually([&] { return inside.load(); }, 2s));
    input->removeTapOnBus(0);
    EXPECT_FALSE(inside.load());
    const int seen = calls.load();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls.load(), seen);

    // A tap that removes itself is never called again, and nothing deadlocks.
    std::atomic<int> selfCalls{0};
    input->installTapOnBus(0, 480, input->outputFormatForBus(0), [&, input](const PCMBuffer& buffer, const AudioTime&) {
        if (++selfCalls == 5) input->removeTapOnBus(0);
        // The buffer stays readable for the rest of the call.
        volatile float touch = buffer.floatChannelData()[0][buffer.frameLength() - 1];
        (void)touch;
    });
    ASSERT_TRUE(eventually([&] { return selfCalls.load() >= 5; }, 2s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(selfCalls.load(), 5);
    graph.engine->stop();
}

TEST_F(EngineTest, StoppingOrDroppingTheEngineFromItsOwnTapDoesNotDeadlock) {
    const size_t threadsBefore = threadCount();
    {
        Graph graph = Graph::make();
        auto engine = graph.engine;
        auto input = engine->inputNode();
        std::atomic<int> calls{0};
        std::atomic<bool> stopped{false};
        input->installTapOnBus(0, 480, input->outputFormatForBus(0), [&, engine](const PCMBuffer&, const AudioTime&) {
            if (++calls == 3) {
                engine->stop();
                stopped = true;
            }
        });
        ASSERT_FALSE(engine->start().has_value());
        ASSERT_TRUE(eventually([&] { return stopped.load(); }, 2s));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(calls.load(), 3);
        // A later start works, with the same tap.
        ASSERT_FALSE(engine->start().has_value());
        ASSERT_TRUE(eventually([&] { return calls.load() > 3; }, 2s));
        engine->stop();
        input->removeTapOnBus(0);
    }
    {
        // The tap drops the last reference to its engine while audio flows.
        auto holder = std::make_shared<std::shared_ptr<platform::AudioEngine>>(Graph::make().engine);
        std::atomic<bool> dropped{false};
        auto input = (*holder)->inputNode();
        input->installTapOnBus(0, 480, input->outputFormatForBus(0), [holder, &dropped](const PCMBuffer&, const AudioTime&) {
            if (*holder) {
                holder->reset();
                dropped = true;
            }
        });
        ASSERT_FALSE((*holder)->start().has_value());
        input.reset();
        ASSERT_TRUE(eventually([&] { return dropped.load(); }, 2s));
    }
    EXPECT_TRUE(eventually([&] { return threadCount() == threadsBefore; }, 2s))
        << threadCount() << " threads, " << threadsBefore << " before";
}

TEST_F(EngineTest, ManyStartsStopsAndDropsLeaveNoThreadsOrFilesBehind) {
    Graph graph = Graph::make();
    auto input = graph.engine->inputNode();
    std::atomic<int> taps{0};
    input->installTapOnBus(0, 480, input->outputFormatForBus(0), [&](const PCMBuffer&, const AudioTime&) { ++taps; });
    ASSERT_FALSE(graph.engine->start().has_value());
    graph.engine->stop();
    const size_t threads = threadCount();
    const size_t files = openFileCount();
    for (int cycle = 0; cycle < 200; ++cycle) {
        ASSERT_FALSE(graph.engine->start().has_value()) << cycle;
        // Some cycles stop while a buffer is playing and the tap is running.
        if (cycle % 20 == 0) {
            graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000, 0.2, 0.2)),
                                         CompletionCallbackType::dataPlayedBack, [](CompletionCallbackType) {});
            graph.player->play();
            std::this_thread::sleep_for(30ms);
        }
        graph.engine->stop();
    }
    // Engines dropped while they run, audio flowing both ways, stop themselves.
    for (int cycle = 0; cycle < 20; ++cycle) {
        Graph running = Graph::make({}, true, graph.platform);
        auto tapInput = running.engine->inputNode();
        tapInput->installTapOnBus(0, 160, tapInput->outputFormatForBus(0), [&](const PCMBuffer&, const AudioTime&) { ++taps; });
        ASSERT_FALSE(running.engine->start().has_value());
        running.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000, 0.2, 0.2)),
                                       CompletionCallbackType::dataPlayedBack, [](CompletionCallbackType) {});
        running.player->play();
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(taps.load(), 0);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(openFileCount(), files);
}

}  // namespace
}  // namespace mivo::testing
