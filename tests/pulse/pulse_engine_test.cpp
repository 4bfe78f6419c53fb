// The PulseAudio engine through the platform interfaces: the capture tap and players, against a
// private daemon.

#include <cmath>

#include "platform/pulse/voice_processor.h"
#include "pulse_test_support.h"

namespace mivo::testing {
namespace {

using platform::CompletionCallbackType;
using platform::pulse::PulsePlatformOptions;
using platform::pulse::VoiceProcessor;

// What the voice-processing stage was shown, for checking the echo reference and its timing.
struct ProcessorLog {
    std::mutex mutex;
    std::vector<float> reference;
    std::vector<Clock::time_point> renderTimes;  // one per 10 ms render frame
    std::vector<uint32_t> renderChannels;
    std::vector<int32_t> delays;  // the render lead of each capture frame, in ms; -1 when unknown
    std::atomic<int> realigns{0};  // discontinuities noted
    std::set<std::thread::id> threads;
};

class RecordingProcessor final : public VoiceProcessor {
public:
    explicit RecordingProcessor(std::shared_ptr<ProcessorLog> log) : log_(std::move(log)) {}
    void analyzeRender(const float* frame) override {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> hold(log_->mutex);
        log_->reference.insert(log_->reference.end(), frame, frame + platform::pulse::renderFrameLength);
        log_->renderTimes.push_back(now);
        // The stage is handed the mono mix, whatever the sink's channels.
        log_->renderChannels.push_back(1);
        log_->threads.insert(std::this_thread::get_id());
    }
    void processVoice(float*, const platform::pulse::CaptureTiming& timing, bool) override {
        std::lock_guard<std::mutex> hold(log_->mutex);
        log_->delays.push_back(timing.known ? static_cast<int32_t>(timing.renderLeadMicroseconds / 1000) : -1);
        log_->threads.insert(std::this_thread::get_id());
    }
    void noteDiscontinuity(platform::pulse::Discontinuity) override { ++log_->realigns; }

private:
    std::shared_ptr<ProcessorLog> log_;
};

PulsePlatformOptions recordingOptions(const std::shared_ptr<ProcessorLog>& log) {
    PulsePlatformOptions options;
    options.makeVoiceProcessor = [log](std::string&) { return std::make_unique<RecordingProcessor>(log); };
    return options;
}

// Records every completion with its time and thread.
struct Completions {
    std::mutex mutex;
    std::vector<std::pair<int, Clock::time_point>> done;
    std::set<std::thread::id> threads;
    std::atomic<int> count{0};

    platform::CompletionHandler handler(int tag) {
        return [this, tag](CompletionCallbackType type) {
            EXPECT_EQ(type, CompletionCallbackType::dataPlayedBack);
            std::lock_guard<std::mutex> hold(mutex);
            done.emplace_back(tag, Clock::now());
            threads.insert(std::this_thread::get_id());
            ++count;
        };
    }
};

using EngineTest = PulseDaemonTest;

TEST_F(EngineTest, TapDeliversExactlySizedBuffersOfTheRoom) {
    // A deep buffer: a talker that ran dry under load would leave a gap the level check blames on
    // the library (PipeWire pauses a stream that underruns until it is refilled).
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true, 250);
    for (const uint32_t size : {480u, 441u}) {
        SCOPED_TRACE(size);
        Graph graph = Graph::make();
        TapRecord tap;
        graph.engine->inputNode()->installTapOnBus(0, size, graph.engine->inputNode()->outputFormatForBus(0), tap.block());
        graph.engine->prepare();
        ASSERT_FALSE(graph.engine->start().has_value());
        // The voice comes at 16 kHz: a second and a half of it.
        ASSERT_TRUE(tap.waitForFrames(24000, 3s));
        graph.engine->stop();

        for (uint32_t length : tap.lengths()) ASSERT_EQ(length, size);
        EXPECT_EQ(tap.channels(), std::set<uint32_t>{1});
        EXPECT_EQ(tap.rates(), std::set<double>{16000.0});
        EXPECT_EQ(tap.threads().size(), 1u);
        // The capture times run on without gaps.
        const auto times = tap.times();
        for (size_t i = 1; i < times.size(); ++i) ASSERT_EQ(times[i], times[i - 1] + size);
        // The room's 1 kHz at its level (the talker plays it at 0.5), once the stream has settled;
        // block by block, so that a skip in the talker's own stream does not read as a lower level.
        const auto samples = tap.samples();
        const size_t from = samples.size() - 8000;
        EXPECT_NEAR(typicalToneAmplitude(samples.data() + from, 8000, 1000.0, 16000.0), 0.5, 0.02);
        EXPECT_NEAR(rms(samples.data() + from, 8000), 0.5 / std::sqrt(2.0), 0.02);
    }
}

TEST_F(EngineTest, TapCarriesEverySampleOfTheSourceUnchanged) {
    // Noise, so that a stretch of it can only match where it really is.
    std::vector<float> noise(96000);
    uint32_t state = 12345;
    for (auto& sample : noise) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(static_cast<int32_t>(state >> 8) % 20000 - 10000) / 40000.0f;
    }
    SignalPlayer talker("room", noise, true);
    Recorder microphone("room.monitor");
    // Unprocessed, the source's own rate: what the server resamples for the voice cannot match a
    // plain client's copy sample for sample.
    Graph graph = Graph::make({}, false);
    TapRecord tap;
    graph.engine->inputNode()->installTapOnBus(0, 480, graph.engine->inputNode()->outputFormatForBus(0), tap.block());
    ASSERT_FALSE(graph.engine->start().has_value());
    ASSERT_TRUE(tap.waitForFrames(96000, 4s));
    graph.engine->stop();
    ASSERT_TRUE(microphone.waitForFrames(96000, 2s));
    microphone.stop();

    // A plain client on the same source heard the same thing: one second of the tap, from its
    // middle, matches it sample for sample, so nothing was dropped, repeated or altered.
    const auto taken = tap.samples();
    const auto heard = microphone.samples();
    const size_t from = 24000;
    const std::vector<float> head(taken.begin() + from, taken.begin() + from + 512);
    const long at = bestOffset(heard, head);
    ASSERT_GE(at, 0);
    size_t compared = 0;
    size_t different = 0;
    for (size_t i = 0; i < 48000 && from + i < taken.size() && at + i < heard.size(); ++i, ++compared) {
        if (taken[from + i] != heard[at + i]) ++different;
    }
    EXPECT_GT(compared, 40000u);
    EXPECT_EQ(different, 0u);
}

TEST_F(EngineTest, MutedInputGivesSilenceAndBypassPassesTheVoice) {
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true);
    Graph graph = Graph::make();
    TapRecord tap;
    auto input = graph.engine->inputNode();
    input->setVoiceProcessingInputMuted(true);
    input->installTapOnBus(0, 480, input->outputFormatForBus(0), tap.block());
    ASSERT_FALSE(graph.engine->start().has_value());
    ASSERT_TRUE(tap.waitForFrames(24000, 3s));
    auto samples = tap.samples();
    EXPECT_EQ(rms(samples.data(), samples.size()), 0.0);

    input->setVoiceProcessingInputMuted(false);
    input->setVoiceProcessingBypassed(true);
    const size_t before = tap.frames();
    ASSERT_TRUE(tap.waitForFrames(before + 24000, 3s));
    samples = tap.samples();
    EXPECT_NEAR(rms(samples.data() + samples.size() - 12000, 12000), 0.5 / std::sqrt(2.0), 0.02);
    graph.engine->stop();
}

TEST_F(EngineTest, AProcessingStageThatCannotBeMadeIsReportedWhenEnabled) {
    PulsePlatformOptions options;
    int attempts = 0;
    options.makeVoiceProcessor = [&attempts](std::string& error) -> std::unique_ptr<VoiceProcessor> {
        ++attempts;
        error = "The canceller is out of order";
        return nullptr;
    };
    Graph graph = Graph::make(std::move(options), false);
    auto input = graph.engine->inputNode();
    const auto refused = input->setVoiceProcessingEnabled(true);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->description, "The canceller is out of order");
    EXPECT_EQ(attempts, 1);
    // Refused means off: the engine still runs, unprocessed.
    EXPECT_FALSE(input->setVoiceProcessingEnabled(false).has_value());
    ASSERT_FALSE(graph.engine->start().has_value());
    graph.engine->stop();
    EXPECT_EQ(attempts, 1);
}

TEST_F(EngineTest, WithoutVoiceProcessingTheTapHasEveryChannel) {
    ASSERT_TRUE(daemon().loadNullSink("wide", 48000, 2));
    ASSERT_EQ(daemon().pactl("set-default-source wide.monitor"), 0);
    Graph graph = Graph::make({}, false);
    TapRecord tap;
    auto input = graph.engine->inputNode();
    ASSERT_EQ(input->outputFormatForBus(0).channelCount, 2u);
    input->installTapOnBus(0, 480, input->outputFormatForBus(0), tap.block());
    ASSERT_FALSE(graph.engine->start().has_value());
    ASSERT_TRUE(tap.waitForFrames(4800, 3s));
    graph.engine->stop();
    EXPECT_EQ(tap.channels(), std::set<uint32_t>{2});
}

TEST_F(EngineTest, PlayersAreMixedIntoTheSpeakerAndTheEchoReference) {
    auto log = std::make_shared<ProcessorLog>();
    Graph graph = Graph::make(recordingOptions(log));
    auto second = graph.platform->makePlayerNode();
    graph.engine->attachNode(second);
    graph.engine->connect(second, graph.engine->mainMixerNode(), platform::standardFormat(48000, 1));
    Recorder speaker("speaker.monitor");
    ASSERT_FALSE(graph.engine->start().has_value());

    // 1 kHz from one player and 3 kHz from the other, at the same time.
    Completions completions;
    graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000.0, 0.3, 0.5)),
                                 CompletionCallbackType::dataPlayedBack, completions.handler(1));
    second->scheduleBuffer(playerBuffer(*graph.platform, sine(3000.0, 0.2, 0.5)),
                           CompletionCallbackType::dataPlayedBack, completions.handler(2));
    graph.player->play();
    second->play();
    ASSERT_TRUE(eventually([&] { return completions.count.load() == 2; }, 3s));
    const size_t heard = speaker.frames();
    ASSERT_TRUE(speaker.waitForFrames(heard + 4800, 2s));
    graph.engine->stop();

    const auto recorded = speaker.samples();
    double strongest = 0.0;
    size_t loudest = 0;
    for (size_t at = 0; at + 4800 <= recorded.size(); at += 2400) {
        const double level = rms(recorded.data() + at, 4800);
        if (level > strongest) strongest = level, loudest = at;
    }
    EXPECT_NEAR(toneAmplitude(recorded.data() + loudest, 4800, 1000.0, 48000.0), 0.3, 0.02);
    EXPECT_NEAR(toneAmplitude(recorded.data() + loudest, 4800, 3000.0, 48000.0), 0.2, 0.02);

    // The reference is exactly what was written, in 10 ms frames, on one thread: the same mix.
    std::lock_guard<std::mutex> hold(log->mutex);
    EXPECT_EQ(log->reference.size(), log->renderTimes.size() * 480);
    EXPECT_EQ(std::set<uint32_t>(log->renderChannels.begin(), log->renderChannels.end()), std::set<uint32_t>{1});
    EXPECT_EQ(log->threads.size(), 1u);
    const std::vector<float> head(recorded.begin() + static_cast<long>(loudest),
                                  recorded.begin() + static_cast<long>(loudest) + 960);
    double correlation = 0.0;
    EXPECT_GE(bestOffset(log->reference, head, &correlation), 0);
    EXPECT_GT(correlation, 0.9999);
    // The stage was given the timing with every capture frame: once the server has sent it, how
    // long before the newest rendered frame is heard the frame was captured - the playback
    // buffer and the record latency, never less than nothing, never seconds.
    EXPECT_FALSE(log->delays.empty());
    EXPECT_GE(log->realigns.load(), 0);
    const auto known = std::count_if(log->delays.begin(), log->delays.end(), [](int32_t d) { return d >= 0; });
    EXPECT_GT(known, static_cast<long>(log->delays.size() * 9 / 10));
    for (size_t i = log->delays.size() / 2; i < log->delays.size(); ++i) {
        EXPECT_GE(log->delays[i], 5) << i;
        EXPECT_LE(log->delays[i], 300) << i;
    }
}

TEST_F(EngineTest, CompletionsFireOnceTheSinkHasPlayedTheBufferNotWhenWritten) {
    auto log = std::make_shared<ProcessorLog>();
    Graph graph = Graph::make(recordingOptions(log));
    Recorder speaker("speaker.monitor");
    ASSERT_FALSE(graph.engine->start().has_value());
    std::this_thread::sleep_for(300ms);

    // Three 300 ms buffers back to back; each begins with a loud first sample, so that where it
    // starts can be found in what was written.
    constexpr size_t length = 14400;
    Completions completions;
    const auto scheduled = Clock::now();
    for (int k = 0; k < 3; ++k) {
        auto samples = sine(500.0 * (k + 1), 0.25, 0.3);
        samples[0] = 0.9f;
        graph.player->scheduleBuffer(playerBuffer(*graph.platform, samples), CompletionCallbackType::dataPlayedBack,
                                     completions.handler(k));
    }
    graph.player->play();
    ASSERT_TRUE(eventually([&] { return completions.count.load() == 3; }, 4s));
    std::this_thread::sleep_for(200ms);
    graph.engine->stop();
    speaker.stop();

    std::vector<std::pair<int, Clock::time_point>> done;
    std::set<std::thread::id> completionThreads;
    {
        std::lock_guard<std::mutex> hold(completions.mutex);
        done = completions.done;
        completionThreads = completions.threads;
    }
    ASSERT_EQ(done.size(), 3u);
    std::lock_guard<std::mutex> hold(log->mutex);
    EXPECT_EQ(completionThreads, log->threads);  // the engine's own thread
    const auto first = std::find(log->reference.begin(), log->reference.end(), 0.9f) - log->reference.begin();
    ASSERT_LT(static_cast<size_t>(first), log->reference.size());
    const auto monitor = speaker.samples();
    const auto heardFirst = std::find(monitor.begin(), monitor.end(), 0.9f) - monitor.begin();
    ASSERT_LT(static_cast<size_t>(heardFirst), monitor.size());
    std::vector<Clock::duration> writtenToDone;
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(done[k].first, k);
        // Audio cannot be played faster than real time.
        EXPECT_GE(done[k].second - scheduled, std::chrono::milliseconds(300 * (k + 1)));
        const size_t lastFrame = static_cast<size_t>(first) + (k + 1) * length - 1;
        ASSERT_LT(lastFrame / 480, log->renderTimes.size());
        const auto written = log->renderTimes[lastFrame / 480];
        EXPECT_GT(done[k].second - written, 0ms);
        writtenToDone.push_back(done[k].second - written);
        // And the sink had played it: a listener on its monitor got it no later than ~20 ms after
        // the completion (its own delivery delay) and not long before.
        const auto heard = speaker.arrivalOf(static_cast<size_t>(heardFirst) + (k + 1) * length - 1);
        EXPECT_GE(heard - done[k].second, -120ms);
        EXPECT_LE(heard - done[k].second, 40ms);
    }
    // Written is not played: the last frame of a buffer left the engine well before. One
    // completion may come sooner when the engine wrote late and the sink was nearly dry, so it is
    // the typical gap that must exceed the engine's 10 ms tick.
    std::sort(writtenToDone.begin(), writtenToDone.end());
    EXPECT_GE(writtenToDone[1], 15ms);
}

TEST_F(EngineTest, StopDropsEveryScheduledBufferAndPlayResumes) {
    auto log = std::make_shared<ProcessorLog>();
    Graph graph = Graph::make(recordingOptions(log));
    Recorder speaker("speaker.monitor");
    ASSERT_FALSE(graph.engine->start().has_value());
    Completions completions;
    for (int k = 0; k < 4; ++k) {
        graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000.0, 0.5, 0.5)),
                                     CompletionCallbackType::dataPlayedBack, completions.handler(k));
    }
    graph.player->play();
    ASSERT_TRUE(graph.player->isPlaying());
    std::this_thread::sleep_for(300ms);
    const int realignsBefore = log->realigns.load();
    graph.player->stop();
    const auto stopped = Clock::now();
    const size_t stoppedAt = speaker.frames();
    EXPECT_FALSE(graph.player->isPlaying());
    std::this_thread::sleep_for(2500ms);
    // None of the four handlers ran: the first buffer was still playing when it was dropped.
    EXPECT_EQ(completions.count.load(), 0);
    EXPECT_GT(log->realigns.load(), realignsBefore);
    // The speaker went quiet within a few tens of milliseconds.
    const auto recorded = speaker.samples();
    size_t lastSound = 0;
    for (size_t i = stoppedAt > 9600 ? stoppedAt - 9600 : 0; i < recorded.size(); ++i) {
        if (std::fabs(recorded[i]) > 1e-4f) lastSound = i;
    }
    ASSERT_GT(lastSound, 0u);
    EXPECT_LT(speaker.arrivalOf(lastSound) - stopped, 150ms);

    // Played again, a new buffer is heard and completed.
    graph.player->play();
    graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000.0, 0.5, 0.1)),
                                 CompletionCallbackType::dataPlayedBack, completions.handler(9));
    ASSERT_TRUE(eventually([&] { return completions.count.load() == 1; }, 2s));
    // reset() drops as stop() does but leaves the player playing.
    graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(1000.0, 0.5, 1.0)),
                                 CompletionCallbackType::dataPlayedBack, completions.handler(10));
    graph.player->reset();
    EXPECT_TRUE(graph.player->isPlaying());
    std::this_thread::sleep_for(1300ms);
    EXPECT_EQ(completions.count.load(), 1);
    graph.engine->stop();
}

}  // namespace
}  // namespace mivo::testing
