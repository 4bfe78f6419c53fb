// The PulseAudio platform's device query, formats and buffers.

#include <cmath>
#include <limits>

#include "pulse_test_support.h"

namespace mivo::testing {
namespace {

using platform::CommonFormat;
using platform::PropertyAddress;
using platform::pulse::PulsePlatform;

struct Query {
    platform::OSStatus status;
    uint32_t id;
};

Query queryDevice(platform::AudioPlatform& platform, uint32_t selector, platform::AudioObjectID object = 1) {
    uint32_t id = 0;
    uint32_t size = sizeof(id);
    const auto status = platform.getPropertyData(object, PropertyAddress{selector, platform::globalScope, 0}, 0,
                                                 nullptr, size, &id);
    return {status, id};
}

using DeviceQueryTest = PulseDaemonTest;

TEST_F(DeviceQueryTest, DefaultSourceAndSinkAreTheirIndexPlusOne) {
    PulsePlatform platform;
    const Query input = queryDevice(platform, platform::defaultInputDeviceSelector);
    const Query output = queryDevice(platform, platform::defaultOutputDeviceSelector);
    ASSERT_EQ(input.status, 0);
    ASSERT_EQ(output.status, 0);
    EXPECT_EQ(input.id, static_cast<uint32_t>(daemon().indexOf("sources", "room.monitor") + 1));
    EXPECT_EQ(output.id, static_cast<uint32_t>(daemon().indexOf("sinks", "speaker") + 1));

    // The answer follows the server's defaults.
    ASSERT_EQ(daemon().pactl("set-default-source speaker.monitor"), 0);
    ASSERT_EQ(daemon().pactl("set-default-sink room"), 0);
    EXPECT_EQ(queryDevice(platform, platform::defaultInputDeviceSelector).id,
              static_cast<uint32_t>(daemon().indexOf("sources", "speaker.monitor") + 1));
    EXPECT_EQ(queryDevice(platform, platform::defaultOutputDeviceSelector).id,
              static_cast<uint32_t>(daemon().indexOf("sinks", "room") + 1));
}

TEST_F(DeviceQueryTest, AConnectionNobodyStartsOnEndsByItself) {
    const size_t threadsBefore = threadCount();
    PulsePlatform platform;
    ASSERT_EQ(queryDevice(platform, platform::defaultInputDeviceSelector).status, 0);
    // Kept for an engine's start, which never comes: within a few seconds it is gone, from the
    // server and from this process.
    EXPECT_NE(daemon().pactlOutput("list clients").find("MivoVoiceIO"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return daemon().pactlOutput("list clients").find("MivoVoiceIO") == std::string::npos; },
                           6s));
    EXPECT_TRUE(eventually([&] { return threadCount() == threadsBefore; }, 1s));
    // And a new question opens a new one.
    EXPECT_EQ(queryDevice(platform, platform::defaultOutputDeviceSelector).status, 0);
}

TEST_F(DeviceQueryTest, RejectsWhatItDoesNotKnow) {
    PulsePlatform platform;
    EXPECT_NE(queryDevice(platform, platform::defaultInputDeviceSelector, 7).status, 0);
    EXPECT_NE(queryDevice(platform, platform::fourCharCode("dSys")).status, 0);
    uint32_t small = 0;
    uint32_t size = 2;
    EXPECT_NE(platform.getPropertyData(1, PropertyAddress{platform::defaultInputDeviceSelector, platform::globalScope, 0},
                                       0, nullptr, size, &small),
              0);
    EXPECT_EQ(small, 0u);
}

TEST_F(DeviceQueryTest, FailsWhenTheServerHasNoDevices) {
    // Without sinks there is no default sink and no source at all (the monitors go too). Each
    // server then offers its placeholder sink as the default: PipeWire by itself, PulseAudio
    // when module-always-sink is loaded, as on a desktop. The placeholder is no device.
    ASSERT_EQ(daemon().pactl("unload-module module-loopback"), 0);
    ASSERT_EQ(daemon().pactl("unload-module module-null-sink"), 0);
    if (daemon().server() == room::ServerKind::pulseaudio) {
        ASSERT_EQ(daemon().pactl("load-module module-always-sink"), 0);
    }
    ASSERT_TRUE(eventually([&] { return daemon().indexOf("sinks", "auto_null") >= 0; }, 3s));
    PulsePlatform platform;
    EXPECT_EQ(queryDevice(platform, platform::defaultInputDeviceSelector).status, platform::pulse::statusNoDevice);
    EXPECT_EQ(queryDevice(platform, platform::defaultOutputDeviceSelector).status, platform::pulse::statusNoDevice);
    auto engine = platform.makeEngine();
    const auto error = engine->start();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->description.find("No default audio"), std::string::npos) << error->description;
}

TEST_F(DeviceQueryTest, IsBoundedWhenTheServerIsGoneOrHangs) {
    PulsePlatform platform;
    // A server that stops answering but keeps its socket: the query gives up after its 2 s.
    daemon().freeze();
    auto begin = Clock::now();
    EXPECT_EQ(queryDevice(platform, platform::defaultInputDeviceSelector).status, platform::pulse::statusNoServer);
    auto took = Clock::now() - begin;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 4s);

    // The engine's start is bounded the same way, and says why it failed.
    auto engine = Graph::make().engine;
    begin = Clock::now();
    const auto error = engine->start();
    took = Clock::now() - begin;
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->description.find("did not answer"), std::string::npos) << error->description;
    EXPECT_LT(took, 5s);
    engine->stop();
    daemon().thaw();

    // No server at all: refused at once.
    daemon().kill();
    begin = Clock::now();
    EXPECT_EQ(queryDevice(platform, platform::defaultOutputDeviceSelector).status, platform::pulse::statusNoServer);
    EXPECT_LT(Clock::now() - begin, 1s);
    const auto refused = engine->start();
    ASSERT_TRUE(refused.has_value());
    EXPECT_NE(refused->description.find("Unable to connect"), std::string::npos) << refused->description;

    // Nothing was started on the way: the socket stays dead.
    EXPECT_NE(daemon().pactl("info"), 0);
}

TEST(PulseFormatsTest, RefuseNonsenseAndDescribeWhatTheyMake) {
    PulsePlatform platform;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    // Buffers of any sample type are refused for formats that make no sense.
    EXPECT_EQ(platform.makePCMBuffer(AudioFormat{CommonFormat::int16, 16000, 0, false}, 10), nullptr);
    EXPECT_EQ(platform.makePCMBuffer(AudioFormat{CommonFormat::int16, 0, 1, false}, 10), nullptr);
    EXPECT_EQ(platform.makePCMBuffer(AudioFormat{CommonFormat::int16, -48000, 1, false}, 10), nullptr);
    EXPECT_EQ(platform.makePCMBuffer(AudioFormat{CommonFormat::int16, nan, 1, false}, 10), nullptr);
    EXPECT_EQ(platform.makePCMBuffer(AudioFormat{static_cast<CommonFormat>(2), 48000, 1, false}, 10), nullptr);
    EXPECT_EQ(platform.makeStandardFormat(nan, 1), nullptr);
    EXPECT_EQ(platform.makeStandardFormat(infinity, 1), nullptr);
    EXPECT_EQ(platform.makeStandardFormat(48000, 0), nullptr);

    const auto int16 = platform.makePCMBuffer(AudioFormat{CommonFormat::int16, 16000, 1, false}, 160);
    ASSERT_NE(int16, nullptr);
    EXPECT_EQ(int16->format(), (AudioFormat{CommonFormat::int16, 16000, 1, false}));
    EXPECT_NE(int16->int16ChannelData(), nullptr);
    const auto standard = platform.makeStandardFormat(44100, 2);
    ASSERT_NE(standard, nullptr);
    EXPECT_EQ(*standard, (AudioFormat{CommonFormat::float32, 44100, 2, false}));

    const auto buffer = platform.makePCMBuffer(*standard, 441);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->frameCapacity(), 441u);
    EXPECT_EQ(buffer->frameLength(), 0u);
    ASSERT_NE(buffer->floatChannelData(), nullptr);
    EXPECT_EQ(buffer->int16ChannelData(), nullptr);
    EXPECT_EQ(platform.makePCMBuffer(AudioFormat{CommonFormat::float32, 48000, 0, false}, 10), nullptr);
}

using NodeFormatTest = PulseDaemonTest;

TEST_F(NodeFormatTest, FollowTheDefaultDevicesAndVoiceProcessing) {
    // A stereo 44.1 kHz sink, made the default sink, and its monitor the default source.
    ASSERT_TRUE(daemon().loadNullSink("wide", 44100, 2));
    ASSERT_EQ(daemon().pactl("set-default-sink wide"), 0);
    ASSERT_EQ(daemon().pactl("set-default-source wide.monitor"), 0);
    PulsePlatform platform;
    auto engine = platform.makeEngine();
    EXPECT_EQ(engine->outputNode()->outputFormatForBus(0), platform::standardFormat(44100, 2));
    engine->inputNode()->setVoiceProcessingEnabled(false);
    EXPECT_EQ(engine->inputNode()->outputFormatForBus(0), platform::standardFormat(48000, 2));
    // The processed voice is one channel at 16 kHz, whatever the microphone has.
    engine->inputNode()->setVoiceProcessingEnabled(true);
    EXPECT_EQ(engine->inputNode()->outputFormatForBus(0), platform::standardFormat(16000, 1));

    // Without a server the formats are unusable rather than made up.
    daemon().kill();
    EXPECT_EQ(engine->outputNode()->outputFormatForBus(0).sampleRate, 0.0);
    engine->inputNode()->setVoiceProcessingEnabled(false);
    EXPECT_EQ(engine->inputNode()->outputFormatForBus(0).channelCount, 0u);
}

}  // namespace
}  // namespace mivo::testing
