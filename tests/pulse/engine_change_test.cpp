// Configuration changes of the PulseAudio engine against a private daemon, and the notification
// center that delivers them.

#include <sstream>

#include "pulse_test_support.h"

namespace mivo::testing {
namespace {

// Configuration changes: each case runs a change against a started engine.
struct Change {
    const char* name;
    std::function<void(PrivatePulseDaemon&)> apply;
    bool posts;
    // PipeWire resumes a suspended sink at once for the streams linked to it and tells them
    // nothing: no sound is lost, so the run must simply go on.
    bool resumedOnPipeWire = false;
};

bool sinkSuspended(const PrivatePulseDaemon& daemon, const std::string& name) {
    std::istringstream lines(daemon.pactlOutput("list short sinks"));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\t" + name + "\t") != std::string::npos) return line.find("SUSPENDED") != std::string::npos;
    }
    return false;
}

void PrintTo(const Change& change, std::ostream* out) { *out << change.name; }

class ConfigurationChangeTest : public PulseDaemonTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ConfigurationChangeTest, IsPostedOnceOnTheEngineThreadWithTheEngine) {
    Graph graph = Graph::make();
    TapRecord tap;
    auto input = graph.engine->inputNode();
    input->installTapOnBus(0, 480, input->outputFormatForBus(0), tap.block());
    auto& center = graph.platform->notificationCenter();
    std::atomic<int> posts{0};
    std::atomic<int> othersPosts{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
    auto token = center.addObserver(platform::engineConfigurationChangeNotification, graph.engine.get(), [&] {
        std::lock_guard<std::mutex> hold(mutex);
        threads.insert(std::this_thread::get_id());
        ++posts;
    });
    int unrelated = 0;
    auto other = center.addObserver(platform::engineConfigurationChangeNotification, &unrelated, [&] { ++othersPosts; });
    ASSERT_FALSE(graph.engine->start().has_value());
    ASSERT_TRUE(tap.waitForFrames(4800, 2s));

    GetParam().apply(daemon());
    const bool resumed = GetParam().resumedOnPipeWire && daemon().server() == room::ServerKind::pipewire;
    if (resumed) {
        const size_t before = tap.samples().size();
        EXPECT_TRUE(tap.waitForFrames(before + 9600, 2s)) << "capture stopped after the suspend";
        EXPECT_FALSE(sinkSuspended(daemon(), "speaker"));
        EXPECT_EQ(posts.load(), 0);
    } else if (GetParam().posts) {
        ASSERT_TRUE(eventually([&] { return posts.load() > 0; }, 2s));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(posts.load(), 1);
        std::lock_guard<std::mutex> hold(mutex);
        EXPECT_EQ(threads, tap.threads());
    } else {
        std::this_thread::sleep_for(700ms);
        EXPECT_EQ(posts.load(), 0);
    }
    EXPECT_EQ(othersPosts.load(), 0);
    center.removeObserver(token);
    center.removeObserver(other);
    graph.engine->stop();
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ConfigurationChangeTest,
    ::testing::Values(
        Change{"DefaultSource", [](PrivatePulseDaemon& d) { ASSERT_EQ(d.pactl("set-default-source speaker.monitor"), 0); },
               true},
        Change{"DefaultSink", [](PrivatePulseDaemon& d) { ASSERT_EQ(d.pactl("set-default-sink room"), 0); }, true},
        Change{"SameDefaults",
               [](PrivatePulseDaemon& d) {
                   ASSERT_EQ(d.pactl("set-default-sink speaker"), 0);
                   ASSERT_EQ(d.pactl("set-default-source room.monitor"), 0);
                   ASSERT_EQ(d.pactl("set-sink-volume speaker 50%"), 0);
                   ASSERT_EQ(d.pactl("load-module module-null-sink sink_name=spare"), 0);
               },
               false},
        Change{"SinkInUseUnloaded",
               [](PrivatePulseDaemon& d) {
                   ASSERT_EQ(d.pactl("unload-module " + std::to_string(d.moduleOf("sinks", "speaker"))), 0);
               },
               true},
        Change{"SourceInUseUnloaded",
               [](PrivatePulseDaemon& d) {
                   ASSERT_EQ(d.pactl("unload-module " + std::to_string(d.moduleOf("sinks", "room"))), 0);
               },
               true},
        Change{"PlaybackMoved",
               [](PrivatePulseDaemon& d) {
                   // PipeWire's session manager now and then leaves a moved stream where it was
                   // (seen 1 run in 7, still there 7 s later): the move is asked again until it is done.
                   const long room = d.indexOf("sinks", "room");
                   bool moved = false;
                   for (int attempt = 0; attempt < 3 && !moved; ++attempt) {
                       ASSERT_EQ(d.pactl("move-sink-input " + std::to_string(ownStream(d, "sink-inputs")) + " room"), 0);
                       moved = eventually([&] { return ownPlaybackSink(d) == room; }, 1s);
                   }
                   ASSERT_TRUE(moved) << "the server did not move the stream";
               },
               true},
        Change{"RecordKilled",
               [](PrivatePulseDaemon& d) { ASSERT_TRUE(d.killStream("source-output", ownStream(d, "source-outputs"))); },
               true},
        Change{"PlaybackKilled",
               [](PrivatePulseDaemon& d) { ASSERT_TRUE(d.killStream("sink-input", ownStream(d, "sink-inputs"))); },
               true},
        Change{"SinkSuspended", [](PrivatePulseDaemon& d) { ASSERT_EQ(d.pactl("suspend-sink speaker 1"), 0); }, true,
               true},
        Change{"DaemonKilled", [](PrivatePulseDaemon& d) { d.kill(); }, true}),
    [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

using NotificationTest = PulseDaemonTest;

TEST_F(NotificationTest, RemovingAnObserverWaitsForItsCallAndWorksFromInsideIt) {
    Graph graph = Graph::make();
    auto& center = graph.platform->notificationCenter();
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    auto token = center.addObserver(platform::engineConfigurationChangeNotification, graph.engine.get(), [&] {
        inside = true;
        std::this_thread::sleep_for(300ms);
        ++calls;
        inside = false;
    });
    ASSERT_FALSE(graph.engine->start().has_value());
    ASSERT_EQ(daemon().pactl("set-default-sink room"), 0);
    ASSERT_TRUE(eventually([&] { return inside.load(); }, 2s));
    center.removeObserver(token);
    EXPECT_FALSE(inside.load());
    EXPECT_EQ(calls.load(), 1);
    graph.engine->stop();

    // An observer that removes itself; and the engine stopped from inside an observer.
    Graph second = Graph::make({}, true, graph.platform);
    std::shared_ptr<platform::ObserverToken> self;
    std::atomic<bool> finished{false};
    auto engine = second.engine;
    self = center.addObserver(platform::engineConfigurationChangeNotification, engine.get(), [&, engine] {
        center.removeObserver(self);
        engine->stop();
        finished = true;
    });
    ASSERT_FALSE(engine->start().has_value());
    ASSERT_EQ(daemon().pactl("set-default-sink speaker"), 0);
    EXPECT_TRUE(eventually([&] { return finished.load(); }, 2s));
    ASSERT_FALSE(engine->start().has_value());
    engine->stop();
}

}  // namespace
}  // namespace mivo::testing
