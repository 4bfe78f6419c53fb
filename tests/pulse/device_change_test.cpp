// A device changed under a running instance, one case per way the server can change it: kept
// apart from the other end-to-end cases since each case needs its own check of the new device.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "captured_tone.h"
#include "mivo_voice_io.h"
#include "private_pulse_daemon.h"
#include "pulse_daemon_test.h"
#include "pulse_test_support.h"
#include "voice_handle.h"

namespace mivo::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using VoiceIOEndToEndTest = PulseDaemonTest;

// A device change while running: what is captured is still read, then the failure; the text
// says why; a new start runs on the new device.
struct DeviceChange {
    const char* name;
    std::function<void(PrivatePulseDaemon&)> apply;
    // Checked after the new start: that it really runs on the device now in use.
    std::function<void(PrivatePulseDaemon&, Handle&)> verify;
};

void PrintTo(const DeviceChange& change, std::ostream* out) { *out << change.name; }

class DeviceChangeTest : public VoiceIOEndToEndTest, public ::testing::WithParamInterface<DeviceChange> {};

TEST_P(DeviceChangeTest, EndsTheRunAndANewStartUsesTheNewDevice) {
    // 2 kHz plays in the room only; speaker.monitor never has it.
    SignalPlayer talker("room", sine(2000.0, 0.4, 1.0), true, 250);
    ASSERT_TRUE(eventually([&] { return talker.started() != Clock::time_point{}; }, 5s));
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    const auto heard = voice.read(8000);
    ASSERT_EQ(heard.size(), 8000u);
    EXPECT_NEAR(typicalLevel(heard, 2000.0, 3200), 0.4, 0.03);
    std::this_thread::sleep_for(200ms);  // let capture pile up in the ring

    GetParam().apply(daemon());
    // Samples captured before the change are still read, then the failure code.
    int32_t end = 0;
    const auto rest = voice.read(160000, &end, 3000);
    EXPECT_GT(rest.size(), 0u);
    // A change missed is rare and not seen alone: what the server then said is the only clue.
    EXPECT_EQ(end, -2) << "default source " << daemon().pactlOutput("get-default-source") << ", default sink "
                       << daemon().pactlOutput("get-default-sink") << "; streams:\n"
                       << daemon().pactlOutput("list short source-outputs") << "\n"
                       << daemon().pactlOutput("list short sink-inputs");
    EXPECT_EQ(voice.lastError(), configurationChanged);
    EXPECT_EQ(voice.write(toInt16(sine(1000, 0.1, 0.1))), -1);

    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    GetParam().verify(daemon(), voice);
    mivo_voice_io_stop(voice.get());
}

// After the change the microphone is speaker.monitor: what the library plays, never the room.
void capturesOwnPlayback(PrivatePulseDaemon&, Handle& voice) {
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.5, 1.0))), 1);
    voice.read(3200);
    const auto samples = voice.read(8000);
    ASSERT_EQ(samples.size(), 8000u);
    EXPECT_NEAR(typicalLevel(samples, 1000.0), 0.5, 0.03);
    EXPECT_LT(level(samples, 2000.0), 0.005);
}

// After the change the loudspeaker is the room: what the library plays lands there directly
// and the old speaker stays silent.
void playsIntoTheRoom(PrivatePulseDaemon&, Handle& voice) {
    Recorder oldSpeaker("speaker.monitor");
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.3, 1.0))), 1);
    voice.read(3200);
    const auto samples = voice.read(8000);
    ASSERT_EQ(samples.size(), 8000u);
    EXPECT_NEAR(typicalLevel(samples, 1000.0), 0.3, 0.03);
    const auto old = oldSpeaker.samples();
    EXPECT_EQ(rms(old.data(), old.size()), 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, DeviceChangeTest,
    ::testing::Values(
        DeviceChange{"DefaultSource",
                     [](PrivatePulseDaemon& d) { ASSERT_EQ(d.pactl("set-default-source speaker.monitor"), 0); },
                     capturesOwnPlayback},
        DeviceChange{"DefaultSink", [](PrivatePulseDaemon& d) { ASSERT_EQ(d.pactl("set-default-sink room"), 0); },
                     playsIntoTheRoom},
        DeviceChange{"SinkInUseUnloaded",
                     [](PrivatePulseDaemon& d) {
                         ASSERT_EQ(d.pactl("unload-module " + std::to_string(d.moduleOf("sinks", "speaker"))), 0);
                     },
                     [](PrivatePulseDaemon& d, Handle& voice) {
                         // The server fell back to the room as its default sink.
                         EXPECT_EQ(d.pactlOutput("get-default-sink"), "room");
                         ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.3, 0.5))), 1);
                         EXPECT_EQ(mivo_voice_io_wait_playback(voice.get()), 1);
                     }},
        DeviceChange{"SourceInUseUnloaded",
                     [](PrivatePulseDaemon& d) {
                         // PipeWire would move the room's echo path onto the speaker, a loop
                         // from its monitor back into it; PulseAudio unloads it with the room.
                         const long echoPath = d.indexOf("modules", "module-loopback");
                         ASSERT_GE(echoPath, 0);
                         ASSERT_EQ(d.pactl("unload-module " + std::to_string(echoPath)), 0);
                         ASSERT_EQ(d.pactl("unload-module " + std::to_string(d.moduleOf("sinks", "room"))), 0);
                     },
                     [](PrivatePulseDaemon& d, Handle& voice) {
                         EXPECT_EQ(d.pactlOutput("get-default-source"), "speaker.monitor");
                         // The talker lost its sink and was moved to the speaker: the 2 kHz is
                         // there too now, so only the library's own playback is checked.
                         ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.5, 3.0))), 1);
                         const auto samples = readOnceHeard(voice, 1000.0, 0.5, 8000);
                         ASSERT_EQ(samples.size(), 8000u);
                         EXPECT_NEAR(typicalLevel(samples, 1000.0), 0.5, 0.03);
                     }}),
    [](const ::testing::TestParamInfo<DeviceChange>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo::testing
