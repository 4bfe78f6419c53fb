// Faults against a private daemon, through the library's C interface: device changes while a
// start is under way, a server that freezes, a voice-processing stage slower than real time and
// an audio thread that stalls. Each must end in a documented result within a bound, never a hang
// or an instance that says it runs on a dead stream.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/pulse_platform.h"
#include "pulse_test_support.h"
#include "voice_handle.h"

namespace mivo::testing {
namespace {

using platform::pulse::PulsePlatform;
using platform::pulse::PulsePlatformOptions;
using platform::pulse::VoiceProcessor;

// Runs `work` and reports whether it returned within `limit`. A call that hangs cannot be undone
// in this process, so it ends the test binary rather than let it sit until the harness gives up.
bool returnsWithin(std::chrono::milliseconds limit, std::function<void()> work) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([work = std::move(work), done] {
        work();
        *done = true;
    }).detach();
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline && !*done) std::this_thread::sleep_for(5ms);
    if (*done) return true;
    if (eventually([&] { return done->load(); }, 10s)) return false;
    std::fprintf(stderr, "a call has not returned after %lld ms; giving up\n",
                 static_cast<long long>((limit + 10s).count()));
    std::_Exit(1);
}

// ------------------------------------------------------------------ a start held at its last step
// The platform as the library sees it, with one difference: before the core's observer is added
// (the last step of a start, after the engine has started) it runs a hook.
class HeldStartPlatform final : public platform::AudioPlatform, public platform::NotificationCenter {
public:
    std::function<void()> beforeObserving;

    platform::OSStatus getPropertyData(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                       uint32_t qualifierSize, const void* qualifier, uint32_t& dataSize,
                                       void* data) override {
        return real_.getPropertyData(object, address, qualifierSize, qualifier, dataSize, data);
    }
    std::shared_ptr<platform::AudioEngine> makeEngine() override { return real_.makeEngine(); }
    std::shared_ptr<platform::PlayerNode> makePlayerNode() override { return real_.makePlayerNode(); }
    std::shared_ptr<const AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) override {
        return real_.makeStandardFormat(sampleRate, channels);
    }
    std::shared_ptr<PCMBuffer> makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) override {
        return real_.makePCMBuffer(format, frameCapacity);
    }
    std::shared_ptr<platform::AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
        return real_.makeConverter(from, to);
    }
    platform::NotificationCenter& notificationCenter() override { return *this; }

    std::shared_ptr<platform::ObserverToken> addObserver(std::string_view name, const void* object,
                                                         std::function<void()> block) override {
        if (beforeObserving) beforeObserving();
        return real_.notificationCenter().addObserver(name, object, std::move(block));
    }
    void removeObserver(const std::shared_ptr<platform::ObserverToken>& token) override {
        real_.notificationCenter().removeObserver(token);
    }

private:
    PulsePlatform real_;
};

struct StartFault {
    const char* name;
    std::function<void(PrivatePulseDaemon&)> apply;
};

void PrintTo(const StartFault& fault, std::ostream* out) { *out << fault.name; }

class FaultDuringStartTest : public PulseDaemonTest, public ::testing::WithParamInterface<StartFault> {};

TEST_P(FaultDuringStartTest, ReachesTheHostAsADeviceChange) {
    SignalPlayer talker("room", sine(1000.0, 0.3, 1.0), true);
    auto platform = std::make_shared<HeldStartPlatform>();
    platform->beforeObserving = [&] {
        GetParam().apply(daemon());
        // Whatever the engine makes of it has happened before the core listens.
        std::this_thread::sleep_for(300ms);
    };
    Handle voice(platform);
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    platform->beforeObserving = nullptr;
    const auto began = Clock::now();
    EXPECT_EQ(voice.readToEnd(3s), -2);
    EXPECT_LT(Clock::now() - began, 3s);
    EXPECT_EQ(voice.lastError(), configurationChanged);
    EXPECT_EQ(voice.write(toInt16(sine(1000.0, 0.1, 0.1))), -1);

    // A new start runs on the server as it is now.
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    int32_t end = 0;
    EXPECT_EQ(voice.read(3200, &end).size(), 3200u) << "read ended with " << end;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultDuringStartTest,
    ::testing::Values(
        StartFault{"DefaultSinkChanged", [](PrivatePulseDaemon& d) { ASSERT_EQ(d.pactl("set-default-sink room"), 0); }},
        StartFault{"DefaultSourceChanged",
                   [](PrivatePulseDaemon& d) { ASSERT_EQ(d.pactl("set-default-source speaker.monitor"), 0); }},
        StartFault{"RecordStreamKilled",
                   [](PrivatePulseDaemon& d) { ASSERT_TRUE(d.killStream("source-output", ownStream(d, "source-outputs"))); }},
        StartFault{"PlaybackStreamKilled",
                   [](PrivatePulseDaemon& d) { ASSERT_TRUE(d.killStream("sink-input", ownStream(d, "sink-inputs"))); }}),
    [](const ::testing::TestParamInfo<StartFault>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ a server that freezes

using FrozenServerTest = PulseDaemonTest;

TEST_F(FrozenServerTest, EndsTheRunAsADeviceChangeWhileReadsKeepTheirTimeout) {
    Handle voice;
    Handle stoppedWhileFrozen;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    ASSERT_EQ(mivo_voice_io_start(stoppedWhileFrozen.get()), 0) << stoppedWhileFrozen.lastError();
    ASSERT_EQ(voice.read(1600).size(), 1600u);
    ASSERT_EQ(voice.write(toInt16(sine(1000.0, 0.3, 2.0))), 1);

    daemon().freeze();
    const auto frozen = Clock::now();
    std::vector<int16_t> samples(160);
    int32_t result = 0;
    bool stopped = false;
    while (Clock::now() - frozen < 5s) {
        const auto asked = Clock::now();
        result = mivo_voice_io_read_capture(voice.get(), samples.data(), 160, 100);
        EXPECT_LT(Clock::now() - asked, 600ms) << "a read with a 100 ms timeout";
        if (result < 0) break;
        // Stopping while the server does not answer is as quick as ever.
        if (!stopped && Clock::now() - frozen > 500ms) {
            EXPECT_TRUE(returnsWithin(1s, [&] { mivo_voice_io_stop(stoppedWhileFrozen.get()); }));
            stopped = true;
        }
    }
    EXPECT_EQ(result, -2);
    EXPECT_LT(Clock::now() - frozen, 3s);
    EXPECT_EQ(voice.lastError(), configurationChanged);
    EXPECT_EQ(mivo_voice_io_wait_playback(voice.get()), -1);
    EXPECT_TRUE(returnsWithin(1s, [&] { mivo_voice_io_stop(voice.get()); }));

    // Ten seconds frozen, then back: a new start runs.
    std::this_thread::sleep_until(frozen + 10s);
    daemon().thaw();
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    EXPECT_EQ(voice.read(1600).size(), 1600u);
}

// ------------------------------------------------------------------ a slow or stalled audio thread
// A pass-through stage whose cost per captured frame, and a one-time stall while rendering, the
// test sets. Both run on the engine's audio thread, as the real canceller does.
struct StageControls {
    std::atomic<int> captureCostMilliseconds{0};
    std::atomic<int> stallMilliseconds{0};
};

class ControlledStage final : public VoiceProcessor {
public:
    explicit ControlledStage(std::shared_ptr<StageControls> controls) : controls_(std::move(controls)) {}
    void analyzeRender(const float*) override {
        if (const int stall = controls_->stallMilliseconds.exchange(0)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stall));
        }
    }
    void processVoice(float*, const platform::pulse::CaptureTiming&, bool) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(controls_->captureCostMilliseconds.load()));
    }
    void noteDiscontinuity(platform::pulse::Discontinuity) override {}

private:
    std::shared_ptr<StageControls> controls_;
};

std::shared_ptr<PulsePlatform> platformWith(const std::shared_ptr<StageControls>& controls) {
    PulsePlatformOptions options;
    options.makeVoiceProcessor = [controls](std::string&) { return std::make_unique<ControlledStage>(controls); };
    return std::make_shared<PulsePlatform>(std::move(options));
}

// Reads on a thread of its own for as long as the capture runs, as a host does.
class Reader {
public:
    explicit Reader(const Handle& voice)
        : thread_([&voice, this] {
              std::vector<int16_t> samples(320);
              while (!done_ && mivo_voice_io_read_capture(voice.get(), samples.data(), 320, 100) >= 0) {
              }
          }) {}
    ~Reader() {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

using OverloadTest = PulseDaemonTest;

TEST_F(OverloadTest, AStageSlowerThanRealTimeKeepsPlaybackGoingAndStopQuick) {
    auto controls = std::make_shared<StageControls>();
    controls->captureCostMilliseconds = 15;
    Handle voice(platformWith(controls));
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    Reader reader(voice);
    std::this_thread::sleep_for(500ms);  // a capture backlog builds up

    // One second of audio in 100 ms writes: completions keep coming all along.
    const auto chunk = toInt16(sine(440.0, 0.2, 0.1));
    uint64_t playedBefore = mivo_voice_io_played_frames(voice.get());
    int advances = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(voice.write(chunk), 1) << i << ": " << voice.lastError();
        const uint64_t played = mivo_voice_io_played_frames(voice.get());
        if (played > playedBefore) ++advances;
        playedBefore = played;
    }
    EXPECT_GE(advances, 5);
    EXPECT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()), 48000u);
    EXPECT_TRUE(returnsWithin(1s, [&] { mivo_voice_io_stop(voice.get()); }));
}

TEST_F(OverloadTest, AStageSlowerThanRealTimeKeepsCaptureRecent) {
    auto controls = std::make_shared<StageControls>();
    controls->captureCostMilliseconds = 15;
    Handle voice(platformWith(controls));
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    std::atomic<int64_t> heardAt{0};
    std::atomic<bool> done{false};
    std::thread listener([&] {
        std::vector<int16_t> samples(320);
        while (!done) {
            const int count = mivo_voice_io_read_capture(voice.get(), samples.data(), 320, 100);
            if (count < 0) break;
            for (int i = 0; i < count && heardAt == 0; ++i) {
                if (std::abs(samples[i]) > 8000) heardAt = Clock::now().time_since_epoch().count();
            }
        }
    });
    // Behind by a third of every second, the capture would be a second late by now.
    std::this_thread::sleep_for(2s);
    SignalPlayer talker("room", sine(1000.0, 0.5, 2.0), false);
    const bool heard = eventually([&] { return heardAt != 0; }, 5s);
    done = true;
    listener.join();
    ASSERT_TRUE(heard);
    const auto late = Clock::time_point(Clock::duration(heardAt.load())) - talker.started();
    std::printf("the talker reached the host %lld ms after it began\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(late).count()));
    EXPECT_LT(late, 600ms);
}

TEST_F(OverloadTest, AnAudioThreadStalledForTwoSecondsLosesNoPlayback) {
    auto controls = std::make_shared<StageControls>();
    Handle voice(platformWith(controls));
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    Reader reader(voice);
    const auto chunk = toInt16(sine(440.0, 0.2, 0.1));
    uint64_t written = 0;
    for (int i = 0; i < 40; ++i) {
        if (i == 10) controls->stallMilliseconds = 2000;
        ASSERT_EQ(voice.write(chunk), 1) << i << ": " << voice.lastError();
        written += chunk.size();
    }
    EXPECT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()), written);
    // Its own stall is no fault of the server: the run goes on.
    EXPECT_EQ(voice.write(chunk), 1) << voice.lastError();
    EXPECT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()), written + chunk.size());
}

}  // namespace
}  // namespace mivo::testing
