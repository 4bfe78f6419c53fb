// The engine's event-loop thread carries the audio: once running, its capture path (record
// stream to tap), its mixing and writing, and its completion delivery must allocate and free
// nothing. This binary replaces operator new and delete to count both on that thread.

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <tuple>

#include "format_room.h"
#include "platform/pulse/webrtc_voice_processor.h"
#include "pulse_test_support.h"
#include "voice_handle.h"

namespace {

thread_local bool watched = false;
std::atomic<long> watchedAllocations{0};
std::atomic<long> watchedReleases{0};

void* allocate(std::size_t size) {
    if (watched) watchedAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

void release(void* memory) {
    if (watched && memory) watchedReleases.fetch_add(1, std::memory_order_relaxed);
    std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (watched) watchedAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }

namespace mivo::testing {
namespace {

using platform::CommonFormat;
using platform::CompletionCallbackType;
using platform::ConverterInputStatus;

// Run with the pass-through stage and with the echo canceller the library really uses, and on a
// 44.1 kHz four-channel microphone with the talker on one input, whose channel is chosen on the
// audio thread.
class RealTimeTest : public PulseDaemonTest, public ::testing::WithParamInterface<std::tuple<bool, bool>> {
protected:
    room::DeviceFormats deviceFormats() const override {
        room::DeviceFormats formats;
        if (std::get<1>(GetParam())) {
            formats.roomRate = 44100;
            formats.roomChannels = 4;
            formats.roomChannelMap = fourChannelMap;
        }
        return formats;
    }
};

TEST_P(RealTimeTest, TheAudioThreadAllocatesNothingOnceRunning) {
    const bool cancelling = std::get<0>(GetParam());
    const bool fourChannels = std::get<1>(GetParam());
    SignalPlayer talker("room", sine(1000.0, 0.5, 1.0), true, 60,
                        fourChannels ? ChannelGains{{0, 0, 1, 0}, fourChannelMap} : ChannelGains{});
    platform::pulse::PulsePlatformOptions options;
    if (cancelling) {
        options.makeVoiceProcessor = [](std::string& error) -> std::unique_ptr<platform::pulse::VoiceProcessor> {
            return platform::pulse::WebRtcVoiceProcessor::create(error);
        };
    }
    Graph graph = Graph::make(std::move(options));
    // The tap does what the capture path does: copy a channel and resample it to 16 kHz int16,
    // into buffers made beforehand.
    const AudioFormat voice = graph.engine->inputNode()->outputFormatForBus(0);
    auto converter = graph.platform->makeConverter(platform::standardFormat(voice.sampleRate, 1),
                                                   AudioFormat{CommonFormat::int16, 16000, 1, false});
    auto mono = graph.platform->makePCMBuffer(platform::standardFormat(voice.sampleRate, 1), 480);
    auto output = graph.platform->makePCMBuffer(AudioFormat{CommonFormat::int16, 16000, 1, false}, 168);
    std::atomic<long> taps{0};
    std::atomic<long> converted{0};
    std::atomic<double> level{0.0};
    auto input = graph.engine->inputNode();
    // 10 ms buffers.
    const auto tapLength = static_cast<uint32_t>(voice.sampleRate / 100);
    input->installTapOnBus(0, tapLength, input->outputFormatForBus(0), [&](const PCMBuffer& buffer, const AudioTime&) {
        watched = true;
        std::copy(buffer.floatChannelData()[0], buffer.floatChannelData()[0] + buffer.frameLength(),
                  mono->floatChannelData()[0]);
        mono->setFrameLength(buffer.frameLength());
        bool given = false;
        std::optional<platform::PlatformError> error;
        converter->convert(*output, error, [&](uint32_t, ConverterInputStatus& status) -> PCMBuffer* {
            status = given ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
            const bool first = !given;
            given = true;
            return first ? mono.get() : nullptr;
        });
        converted += output->frameLength();
        level = rms(output->int16ChannelData()[0], output->frameLength());
        ++taps;
    });
    std::atomic<long> completions{0};
    ASSERT_FALSE(graph.engine->start().has_value());
    graph.player->play();
    // Buffers are made and scheduled here, on this thread; the audio thread mixes and completes them.
    auto schedule = [&](int count) {
        for (int i = 0; i < count; ++i) {
            graph.player->scheduleBuffer(playerBuffer(*graph.platform, sine(440.0, 0.2, 0.1)),
                                         CompletionCallbackType::dataPlayedBack,
                                         [&](CompletionCallbackType) { ++completions; });
        }
    };
    schedule(5);
    ASSERT_TRUE(eventually([&] { return completions.load() >= 3; }, 3s));

    watchedAllocations = 0;
    watchedReleases = 0;
    const long tapsBefore = taps.load();
    schedule(20);
    ASSERT_TRUE(eventually([&] { return completions.load() >= 25; }, 4s));
    std::this_thread::sleep_for(300ms);  // silence written after the last buffer, too
    graph.engine->stop();

    EXPECT_GT(taps.load() - tapsBefore, 150);
    EXPECT_GT(converted.load(), 0);
    // Noise suppression and gain control change a steady tone's level; unprocessed it is exact.
    if (!cancelling) {
        EXPECT_NEAR(level.load() / 32768.0, 0.5 / std::sqrt(2.0), 0.03);
    }
    EXPECT_EQ(watchedAllocations.load(), 0);
    EXPECT_EQ(watchedReleases.load(), 0);
}

// A pass-through stage that marks the thread it runs on, the engine's audio thread, as watched.
class WatchingStage final : public platform::pulse::VoiceProcessor {
public:
    void analyzeRender(const float*) override { watched = true; }
    void processVoice(float*, const platform::pulse::CaptureTiming&, bool) override { watched = true; }
    void noteDiscontinuity(platform::pulse::Discontinuity) override {}
};

using PlayerRealTimeTest = PulseDaemonTest;

// The players' side on its own, with a pass-through stage: the canceller allocates now and then
// when its delay hint jumps (its histograms), which is not what this looks at.
TEST_F(PlayerRealTimeTest, ManySmallWritesAllocateAndFreeNothingOnTheAudioThread) {
    platform::pulse::PulsePlatformOptions options;
    options.makeVoiceProcessor = [](std::string&) -> std::unique_ptr<platform::pulse::VoiceProcessor> {
        return std::make_unique<WatchingStage>();
    };
    Handle voice(std::make_shared<platform::pulse::PulsePlatform>(std::move(options)));
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    const auto small = toInt16(sine(440.0, 0.2, 0.001));
    ASSERT_EQ(small.size(), 48u);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(voice.write(small), 1) << voice.lastError();
    ASSERT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();

    watchedAllocations = 0;
    watchedReleases = 0;
    // More buffers than the player keeps room for at first, all finished before anyone schedules
    // again: their release must still wait for a host thread.
    for (int i = 0; i < 200; ++i) ASSERT_EQ(voice.write(small), 1) << i << ": " << voice.lastError();
    ASSERT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(watchedAllocations.load(), 0);
    EXPECT_EQ(watchedReleases.load(), 0);
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()), 205u * 48u);
    mivo_voice_io_stop(voice.get());
}

INSTANTIATE_TEST_SUITE_P(Processing, RealTimeTest, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<bool, bool>>& info) {
                             return std::string(std::get<0>(info.param) ? "EchoCanceller" : "PassThrough") +
                                    (std::get<1>(info.param) ? "_FourChannelMicrophone" : "");
                         });

}  // namespace
}  // namespace mivo::testing
