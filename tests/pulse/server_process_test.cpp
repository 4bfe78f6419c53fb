// PipeWire serves the PulseAudio protocol from pipewire-pulse, a client of the pipewire process
// that runs the graph: the loss of either ends a run as a device change.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>

#include "mivo_voice_io.h"
#include "private_pulse_daemon.h"
#include "pulse_daemon_test.h"
#include "voice_handle.h"

namespace mivo::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* noDevice = "Unable to start VoiceProcessingIO: No default input or output audio device is available";

// The started process with this program name, or -1.
pid_t processNamed(const PrivatePulseDaemon& daemon, const std::string& name) {
    for (pid_t pid : daemon.processes()) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string program;
        if (std::getline(comm, program) && program == name) return pid;
    }
    return -1;
}

using ServerProcessTest = PulseDaemonTest;

TEST_F(ServerProcessTest, TheGraphProcessKilledEndsTheRunAndStartsFailUntilTheServerIsBack) {
    if (daemon().server() != room::ServerKind::pipewire) GTEST_SKIP() << "PulseAudio runs as one process";
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true);
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    ASSERT_EQ(voice.read(4800).size(), 4800u);
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.2, 3.0))), 1);

    const pid_t graph = processNamed(daemon(), "pipewire");
    ASSERT_GT(graph, 0);
    const auto killed = Clock::now();
    ASSERT_EQ(::kill(graph, SIGKILL), 0);
    EXPECT_EQ(voice.readToEnd(5s), -2);
    EXPECT_LT(Clock::now() - killed, 3s);
    EXPECT_EQ(voice.write(toInt16(sine(1000.0, 0.2, 0.1))), -1);
    // What is left of the server cannot play or record: a start fails, and promptly.
    const auto begin = Clock::now();
    EXPECT_EQ(mivo_voice_io_start(voice.get()), -1);
    EXPECT_LT(Clock::now() - begin, 6s);
    mivo_voice_io_stop(voice.get());
    talker.stop();

    daemon().kill();
    std::string failure;
    ASSERT_TRUE(daemon().start(&failure)) << failure;
    SignalPlayer again("room", sine(1000.0, 0.5, 1.0), true);
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    int32_t end = 0;
    EXPECT_EQ(voice.read(8000, &end).size(), 8000u) << end;
}

// The protocol server alone dies; the graph behind it stays.
TEST_F(ServerProcessTest, TheProtocolServerKilledAloneEndsTheRunAndStartsFailWithTheDeviceText) {
    if (daemon().server() != room::ServerKind::pipewire) GTEST_SKIP() << "PulseAudio runs as one process";
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    ASSERT_EQ(voice.read(3200).size(), 3200u);
    const pid_t protocol = processNamed(daemon(), "pipewire-pulse");
    ASSERT_GT(protocol, 0);
    const auto killed = Clock::now();
    ASSERT_EQ(::kill(protocol, SIGKILL), 0);
    EXPECT_EQ(voice.readToEnd(5s), -2);
    EXPECT_LT(Clock::now() - killed, 3s);
    EXPECT_EQ(voice.lastError(), configurationChanged);
    EXPECT_EQ(mivo_voice_io_start(voice.get()), -1);
    EXPECT_EQ(voice.lastError(), noDevice);
}

}  // namespace
}  // namespace mivo::testing
