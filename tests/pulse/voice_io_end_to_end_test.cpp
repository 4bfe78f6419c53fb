// The library end to end through its C interface, on the PulseAudio platform, in a private
// daemon's virtual room. Voice processing is a pass-through here, so that levels and samples can
// be compared exactly; echo cancellation has its own suite.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "captured_tone.h"
#include "mivo_voice_io.h"
#include "platform/pulse/pulse_platform.h"
#include "private_pulse_daemon.h"
#include "pulse_daemon_test.h"
#include "pulse_test_support.h"
#include "voice_handle.h"

namespace mivo::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* noDevice = "Unable to start VoiceProcessingIO: No default input or output audio device is available";

// Deterministic noise: a signal that can only be found where it really is.
std::vector<int16_t> noise(size_t count, uint32_t seed) {
    std::vector<int16_t> frames(count);
    uint32_t state = seed;
    for (auto& frame : frames) {
        state = state * 1664525u + 1013904223u;
        frame = static_cast<int16_t>(static_cast<int32_t>(state >> 16) % 12000 - 6000);
    }
    return frames;
}

// The index of the last sample that is not silence; 0 when there is none.
size_t lastSound(const std::vector<float>& recorded) {
    size_t last = 0;
    for (size_t i = 0; i < recorded.size(); ++i) {
        if (std::fabs(recorded[i]) > 1e-4f) last = i;
    }
    return last;
}

using VoiceIOEndToEndTest = PulseDaemonTest;

TEST_F(VoiceIOEndToEndTest, CaptureCarriesARoomToneAt16kAtItsLevel) {
    // A deep buffer: a talker that ran dry under load would leave a gap the level check blames on
    // the library (PipeWire pauses a stream that underruns until it is refilled).
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true, 250);
    ASSERT_TRUE(eventually([&] { return talker.started() != Clock::time_point{}; }, 5s));
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    voice.read(4800);  // the first 300 ms: streams and filter settling
    int32_t end = 0;
    const auto samples = voice.read(16000, &end);
    ASSERT_EQ(samples.size(), 16000u) << "read ended with " << end;
    EXPECT_NEAR(typicalLevel(samples, 1000.0), 0.5, 0.03);
    EXPECT_NEAR(rms(samples.data(), samples.size()) / 32768.0, 0.5 / std::sqrt(2.0), 0.03);
    EXPECT_LT(level(samples, 2000.0), 0.005);
    mivo_voice_io_stop(voice.get());
    EXPECT_EQ(voice.readToEnd(2s), -1);
}

// The server numbers its clients in the order they connect; pactl is the newest when it asks.
long newestClient(PrivatePulseDaemon& daemon) {
    std::istringstream lines(daemon.pactlOutput("list short clients"));
    std::string line;
    long newest = -1;
    while (std::getline(lines, line)) newest = std::max(newest, std::stol(line));
    return newest;
}

// The library's connections that the server lists now.
size_t libraryClients(PrivatePulseDaemon& daemon) {
    const std::string listing = daemon.pactlOutput("list clients");
    const std::string name = "application.name = \"MivoVoiceIO\"";
    size_t count = 0;
    for (size_t at = listing.find(name); at != std::string::npos; at = listing.find(name, at + 1)) ++count;
    return count;
}

TEST_F(VoiceIOEndToEndTest, AStartConnectsToTheServerOnce) {
    // PipeWire numbers clients among all its objects, so only PulseAudio's numbers count them.
    const bool numbersCountClients = daemon().server() == room::ServerKind::pulseaudio;
    Handle voice;
    for (int start = 0; start < 3; ++start) {
        SCOPED_TRACE(start);
        const long before = newestClient(daemon());
        ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
        // Less the pactl that asks: the device questions, the formats and the streams all went
        // over one connection.
        if (numbersCountClients) {
            EXPECT_EQ(newestClient(daemon()) - before - 1, 1);
        }
        // A connection for the device questions alone would still be there, kept for a while.
        EXPECT_EQ(libraryClients(daemon()), 1u);
        mivo_voice_io_stop(voice.get());
    }
}

TEST_F(VoiceIOEndToEndTest, PlaybackReachesTheSpeakerExactlyAndIsCountedOnceHeard) {
    Recorder speaker("speaker.monitor");
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    std::this_thread::sleep_for(200ms);
    const auto frames = noise(24000, 7);
    const uint64_t before = mivo_voice_io_played_frames(voice.get());
    const auto written = Clock::now();
    ASSERT_EQ(voice.write(frames), 1) << voice.lastError();
    ASSERT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    const auto drained = Clock::now();
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()) - before, 24000u);
    // Half a second of audio cannot have been played in less.
    EXPECT_GE(drained - written, 500ms);
    const size_t heardSoFar = speaker.frames();
    ASSERT_TRUE(speaker.waitForFrames(heardSoFar + 9600, 2s));
    mivo_voice_io_stop(voice.get());
    speaker.stop();

    const auto recorded = speaker.samples();
    std::vector<float> expected(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) expected[i] = static_cast<float>(frames[i]) / 32768.0f;
    double correlation = 0.0;
    const long at = bestOffset(recorded, std::vector<float>(expected.begin(), expected.begin() + 1024), &correlation);
    ASSERT_GE(at, 1) << correlation;
    ASSERT_LE(static_cast<size_t>(at) + expected.size() + 1, recorded.size());
    // Every sample as written, with silence right before and after it.
    float worst = 0.0f;
    for (size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::fabs(recorded[at + i] - expected[i]));
    EXPECT_LE(worst, 1e-6f) << describeCopyMismatch(recorded, static_cast<size_t>(at), expected, 1e-6f);
    EXPECT_EQ(recorded[at - 1], 0.0f);
    EXPECT_EQ(recorded[at + expected.size()], 0.0f);
    // The drain ended when the speaker had played the last frame: a listener on its monitor had
    // it then, give or take that listener's own few milliseconds of delivery.
    const auto heard = speaker.arrivalOf(static_cast<size_t>(at) + expected.size() - 1);
    EXPECT_LE(heard - drained, 40ms);
    EXPECT_GE(heard - drained, -150ms);
}

TEST_F(VoiceIOEndToEndTest, BackPressureHoldsWritesToRealTime) {
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    const auto chunk = toInt16(sine(440.0, 0.2, 0.1));
    const uint64_t before = mivo_voice_io_played_frames(voice.get());
    const auto begin = Clock::now();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(voice.write(chunk), 1) << i << ": " << voice.lastError();
    const auto took = Clock::now() - begin;
    // Ten seconds of audio less the 200 ms that may stay queued: writing cannot get far ahead.
    EXPECT_GE(took, 9300ms);
    EXPECT_LE(took, 12s);
    ASSERT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()) - before, 480000u);
}

TEST_F(VoiceIOEndToEndTest, InterruptSilencesTheSpeakerAtOnce) {
    Recorder speaker("speaker.monitor");
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.5, 2.0))), 1);
    std::this_thread::sleep_for(500ms);
    const auto interrupted = Clock::now();
    ASSERT_EQ(mivo_voice_io_interrupt_playback(voice.get()), 0);
    EXPECT_EQ(mivo_voice_io_wait_playback(voice.get()), 1);
    std::this_thread::sleep_for(500ms);
    // The interrupted buffer is never counted.
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()), 0u);

    const size_t last = lastSound(speaker.samples());
    ASSERT_GT(last, 0u) << "the tone was never heard";
    EXPECT_LE(speaker.arrivalOf(last) - interrupted, 100ms);

    // Playback goes on normally afterwards.
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.5, 0.2))), 1);
    ASSERT_EQ(mivo_voice_io_wait_playback(voice.get()), 1);
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()), 9600u);
}

TEST_F(VoiceIOEndToEndTest, CompletionsStayOnTimeAfterManyInterrupts) {
    Recorder speaker("speaker.monitor");
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    // Each interrupt throws away what the server held of the tone.
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.3, 0.5))), 1) << voice.lastError();
        std::this_thread::sleep_for(150ms);
        ASSERT_EQ(mivo_voice_io_interrupt_playback(voice.get()), 0);
    }
    std::this_thread::sleep_for(200ms);
    const auto frames = noise(9600, 11);
    ASSERT_EQ(voice.write(frames), 1) << voice.lastError();
    ASSERT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    const auto drained = Clock::now();
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()), 9600u);
    const size_t heardSoFar = speaker.frames();
    ASSERT_TRUE(speaker.waitForFrames(heardSoFar + 9600, 2s));
    speaker.stop();

    // The wait ended when the speaker had played the last frame, not later by what the
    // interrupts dropped.
    const auto recorded = speaker.samples();
    std::vector<float> expected(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) expected[i] = static_cast<float>(frames[i]) / 32768.0f;
    const long at = bestOffset(recorded, std::vector<float>(expected.begin(), expected.begin() + 1024));
    ASSERT_GE(at, 0);
    const auto heard = speaker.arrivalOf(static_cast<size_t>(at) + expected.size() - 1);
    EXPECT_LE(heard - drained, 40ms);
    EXPECT_GE(heard - drained, -60ms);
}

TEST_F(VoiceIOEndToEndTest, NothingPlaysOnTheOldSpeakerOnceTheChangeIsReported) {
    Recorder speaker("speaker.monitor");
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.3, 3.0))), 1) << voice.lastError();
    std::this_thread::sleep_for(500ms);
    // The microphone changes; the playback stream stays where it is, on the speaker.
    ASSERT_EQ(daemon().pactl("set-default-source speaker.monitor"), 0);
    EXPECT_EQ(voice.readToEnd(3s), -2);
    const auto reported = Clock::now();
    std::this_thread::sleep_for(500ms);
    speaker.stop();

    const size_t last = lastSound(speaker.samples());
    ASSERT_GT(last, 0u) << "the tone was never heard";
    EXPECT_LE(speaker.arrivalOf(last) - reported, 50ms);
}

TEST_F(VoiceIOEndToEndTest, DaemonKilledWhileRunningFailsCleanlyUntilOneIsBack) {
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true);
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    ASSERT_EQ(voice.read(4800).size(), 4800u);

    // A reader blocked in a long read and a writer waiting for the drain, when the server dies.
    std::atomic<int32_t> readerEnd{1};
    std::thread reader([&] { readerEnd = voice.readToEnd(10s); });
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.2, 3.0))), 1);
    std::atomic<int32_t> drained{2};
    std::thread waiter([&] { drained = mivo_voice_io_wait_playback(voice.get()); });
    std::this_thread::sleep_for(200ms);
    talker.stop();
    const auto killed = Clock::now();
    daemon().kill();
    reader.join();
    waiter.join();
    EXPECT_LT(Clock::now() - killed, 3s);
    EXPECT_EQ(readerEnd.load(), -2);
    EXPECT_EQ(drained.load(), -1);
    // Both texts were recorded; which one is last depends on which thread came second.
    const std::string text = voice.lastError();
    EXPECT_TRUE(text == configurationChanged || text == "VoiceProcessingIO stopped during playback") << text;
    EXPECT_EQ(mivo_voice_io_read_capture(voice.get(), std::vector<int16_t>(10).data(), 10, 0), -2);

    // With no server, starting fails at once with the device text, and stop does not hang.
    const auto begin = Clock::now();
    EXPECT_EQ(mivo_voice_io_start(voice.get()), -1);
    EXPECT_EQ(voice.lastError(), noDevice);
    mivo_voice_io_stop(voice.get());
    EXPECT_LT(Clock::now() - begin, 3s);

    // Once a server is back, a start works again and audio flows.
    std::string failure;
    ASSERT_TRUE(daemon().start(&failure)) << failure;
    SignalPlayer again("room", sine(1000.0, 0.5, 1.0), true);
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    const auto samples = readOnceHeard(voice, 1000.0, 0.5, 8000);
    ASSERT_EQ(samples.size(), 8000u);
    EXPECT_NEAR(typicalLevel(samples, 1000.0), 0.5, 0.03);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool measuresMemory = false;  // its quarantine holds freed memory on purpose
#else
constexpr bool measuresMemory = true;
#endif

TEST_F(VoiceIOEndToEndTest, ManyCyclesLeaveNoThreadsFilesOrMemoryBehind) {
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true);
    const auto frames = toInt16(sine(1000.0, 0.2, 0.05));
    auto cycle = [&](Handle& voice, int i) {
        ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << i << ": " << voice.lastError();
        // Now and then stop with capture and playback in flight.
        if (i % 10 == 0) {
            voice.read(320);
            ASSERT_EQ(voice.write(frames), 1);
        }
        mivo_voice_io_stop(voice.get());
    };
    {
        // Warm up: everything made once per process exists before the counts are taken.
        Handle voice;
        for (int i = 0; i < 3; ++i) cycle(voice, i * 10);
    }
    const size_t threads = threadCount();
    const size_t files = openFileCount();
    const size_t memory = residentKilobytes();
    {
        Handle voice;
        for (int i = 0; i < 200; ++i) {
            cycle(voice, i);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    for (int i = 0; i < 50; ++i) {
        Handle voice;
        cycle(voice, i);
        if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(openFileCount(), files);
    if (measuresMemory) {
        EXPECT_LT(residentKilobytes(), memory + 4096) << memory << " kB before";
    }
}

}  // namespace
}  // namespace mivo::testing
