#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing {
namespace {

using core::VoiceIO;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::standardFormat;

const std::vector<std::string> successfulStart = {
    "getPropertyData dIn",
    "getPropertyData dOut",
    "makeEngine",
    "makePlayerNode",
    "input.setVoiceProcessingEnabled 1",
    "input.setVoiceProcessingInputMuted 0",
    "input.setVoiceProcessingBypassed 0",
    "input.setVoiceProcessingAGCEnabled 1",
    "input.outputFormatForBus 0",
    "output.outputFormatForBus 0",
    "engine.attachNode",
    "engine.connect player mainMixer 48000/1",
    "engine.connect mainMixer output 48000/1",
    "makeStandardFormat 48000 1",
    "makeConverter",
    "input.installTapOnBus 0 480",
    "engine.prepare",
    "engine.start",
    "player.play",
    "addObserver",
};

// The successful sequence up to and including `entry`.
std::vector<std::string> startUpTo(const std::string& entry) {
    std::vector<std::string> prefix;
    for (const auto& call : successfulStart) {
        prefix.push_back(call);
        if (call == entry) return prefix;
    }
    ADD_FAILURE() << entry << " is not part of a start";
    return prefix;
}

class StartSequence : public ::testing::Test {
protected:
    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    const std::shared_ptr<VoiceIO> voice = VoiceIO::create(platform);

    // The state a failed start must leave: what stop leaves, with nothing of the new graph alive.
    void expectStoppedAfterFailure(uint64_t generationBefore) {
        const VoiceIOState state = inspect(*voice);
        EXPECT_FALSE(state.running);
        EXPECT_FALSE(state.hasEngine);
        EXPECT_FALSE(state.hasPlayer);
        EXPECT_FALSE(state.hasCaptureConverter);
        EXPECT_FALSE(state.hasCaptureConverterInputFormat);
        EXPECT_FALSE(state.hasConfigurationObserver);
        EXPECT_FALSE(state.tapInstalled);
        EXPECT_EQ(state.generation, generationBefore + 1);
        EXPECT_EQ(state.queuedPlaybackFrames, 0);
        EXPECT_EQ(platform->registeredObserverCount(), 0u);
        for (const auto& engine : platform->engines()) EXPECT_FALSE(engine->input().tapInstalled());

        // The capture stream ended cleanly: -1 at once, not a timeout and not the failure code.
        auto read = readCaptureAsync(*voice, 160, longTimeoutMs);
        ASSERT_EQ(read.wait_for(promptly), std::future_status::ready);
        EXPECT_EQ(read.get().result, -1);
    }
};

TEST_F(StartSequence, ASuccessfulStartMakesExactlyTheseCallsInThisOrder) {
    ASSERT_TRUE(voice->start()) << lastError(*voice);
    EXPECT_EQ(platform->log().entries(), successfulStart) << platform->log().dump();

    const auto queries = platform->deviceQueries();
    ASSERT_EQ(queries.size(), 2u);
    const uint32_t selectors[] = {platform::defaultInputDeviceSelector, platform::defaultOutputDeviceSelector};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(queries[i].object, platform::systemObject);
        EXPECT_EQ(queries[i].address.selector, selectors[i]);
        EXPECT_EQ(queries[i].address.scope, platform::globalScope);
        EXPECT_EQ(queries[i].address.element, 0u);
        EXPECT_EQ(queries[i].qualifierSize, 0u);
        EXPECT_EQ(queries[i].qualifier, nullptr);
        EXPECT_EQ(queries[i].dataSize, 4u);
    }

    const auto engine = platform->currentEngine();
    const auto player = platform->currentPlayer();
    ASSERT_TRUE(engine && player);
    EXPECT_EQ(engine->input().voiceProcessingEnabled(), true);
    EXPECT_EQ(engine->input().voiceProcessingInputMuted(), false);
    EXPECT_EQ(engine->input().voiceProcessingBypassed(), false);
    EXPECT_EQ(engine->input().voiceProcessingAGCEnabled(), true);
    ASSERT_EQ(engine->attached().size(), 1u);
    EXPECT_EQ(engine->attached()[0], player);
    EXPECT_TRUE(engine->running());
    EXPECT_TRUE(player->playing());
    EXPECT_TRUE(platform->observerRegisteredFor(*engine));
    EXPECT_EQ(platform->observers().back().name, platform::engineConfigurationChangeNotification);

    const auto converter = platform->currentConverter();
    ASSERT_TRUE(converter);
    EXPECT_EQ(converter->from(), standardFormat(48000, 1));
    EXPECT_EQ(converter->to(), (AudioFormat{CommonFormat::int16, 16000, 1, false}));

    const VoiceIOState state = inspect(*voice);
    EXPECT_TRUE(state.running);
    EXPECT_TRUE(state.hasEngine && state.hasPlayer && state.hasCaptureConverter &&
                state.hasCaptureConverterInputFormat && state.hasConfigurationObserver && state.tapInstalled);
    EXPECT_EQ(state.generation, 0u) << "a successful start does not end a generation";
    EXPECT_EQ(lastError(*voice), "");
}

struct TapCase {
    double rate;
    uint32_t tapSize;
};

void PrintTo(const TapCase& value, std::ostream* out) { *out << value.rate; }

class TapSize : public StartSequence, public ::testing::WithParamInterface<TapCase> {};

TEST_P(TapSize, IsTenMillisecondsOfTheInputRateAndAtLeastOneFrame) {
    const AudioFormat input = standardFormat(GetParam().rate, 1);
    platform->setInputFormat(input);
    ASSERT_TRUE(voice->start()) << lastError(*voice);
    const auto tap = platform->currentEngine()->input().installedTap();
    ASSERT_TRUE(tap);
    EXPECT_EQ(tap->bus, 0u);
    EXPECT_EQ(tap->bufferSize, GetParam().tapSize);
    EXPECT_EQ(tap->format, input);
    EXPECT_EQ(platform->currentConverter()->from(), standardFormat(GetParam().rate, 1));
}

INSTANTIATE_TEST_SUITE_P(Rates, TapSize,
                         ::testing::Values(TapCase{48000, 480}, TapCase{44100, 441}, TapCase{22050, 220},
                                           TapCase{16000, 160}, TapCase{8000, 80}, TapCase{150, 1},
                                           TapCase{50, 1}, TapCase{0.25, 1}));

TEST_F(StartSequence, TheMixerFeedsTheOutputInTheInputFormatWhateverTheOutputsOwn) {
    platform->setInputFormat(standardFormat(44100, 2));
    platform->setOutputFormat(standardFormat(96000, 6));
    ASSERT_TRUE(voice->start());
    const auto connections = platform->currentEngine()->connections();
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0].from, "player");
    EXPECT_EQ(connections[0].to, "mainMixer");
    EXPECT_EQ(connections[0].format, standardFormat(48000, 1));
    EXPECT_EQ(connections[1].from, "mainMixer");
    EXPECT_EQ(connections[1].to, "output");
    EXPECT_EQ(connections[1].format, standardFormat(44100, 2));
    EXPECT_TRUE(platform->log().contains("makeStandardFormat 44100 1")) << "the converter input is mono";
}

struct FailureCase {
    const char* name;
    std::function<void(ScriptedPlatform&)> arrange;
    std::string reason;       // the text after the common prefix
    std::string failingCall;  // the last call of the successful sequence that is made
};

void PrintTo(const FailureCase& value, std::ostream* out) { *out << value.name; }

const std::string noDevice = "No default input or output audio device is available";
const std::string badInput = "The default input device has no usable audio format";
const std::string badOutput = "The default output device has no usable audio format";
const std::string noConverter = "Unable to create the microphone sample-rate converter";
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const FailureCase failures[] = {
    {"InputQueryFails", [](ScriptedPlatform& p) { p.setInputDevice(-1, 7); }, noDevice, "getPropertyData dIn"},
    {"NoInputDevice", [](ScriptedPlatform& p) { p.setInputDevice(0, 0); }, noDevice, "getPropertyData dIn"},
    {"OutputQueryFails", [](ScriptedPlatform& p) { p.setOutputDevice(560947818, 3); }, noDevice,
     "getPropertyData dOut"},
    {"NoOutputDevice", [](ScriptedPlatform& p) { p.setOutputDevice(0, 0); }, noDevice, "getPropertyData dOut"},
    {"VoiceProcessingRefused", [](ScriptedPlatform& p) { p.failVoiceProcessing("voice processing refused"); },
     "voice processing refused", "input.setVoiceProcessingEnabled 1"},
    // The input format is judged first, even when the output format is unusable too.
    {"InputRateZero",
     [](ScriptedPlatform& p) {
         p.setInputFormat(standardFormat(0, 1));
         p.setOutputFormat(standardFormat(0, 0));
     },
     badInput, "output.outputFormatForBus 0"},
    {"InputRateNaN", [](ScriptedPlatform& p) { p.setInputFormat(standardFormat(nan, 1)); }, badInput,
     "output.outputFormatForBus 0"},
    {"InputRateNegative", [](ScriptedPlatform& p) { p.setInputFormat(standardFormat(-48000, 1)); }, badInput,
     "output.outputFormatForBus 0"},
    {"InputNoChannels",
     [](ScriptedPlatform& p) {
         p.setInputFormat(standardFormat(48000, 0));
         p.setOutputFormat(standardFormat(nan, 2));
     },
     badInput, "output.outputFormatForBus 0"},
    {"OutputRateZero", [](ScriptedPlatform& p) { p.setOutputFormat(standardFormat(0, 2)); }, badOutput,
     "output.outputFormatForBus 0"},
    {"OutputRateNaN", [](ScriptedPlatform& p) { p.setOutputFormat(standardFormat(nan, 2)); }, badOutput,
     "output.outputFormatForBus 0"},
    {"OutputNoChannels", [](ScriptedPlatform& p) { p.setOutputFormat(standardFormat(48000, 0)); }, badOutput,
     "output.outputFormatForBus 0"},
    {"MonoFormatNotMade", [](ScriptedPlatform& p) { p.failMakeStandardFormat(); }, noConverter,
     "makeStandardFormat 48000 1"},
    {"ConverterNotMade", [](ScriptedPlatform& p) { p.failMakeConverter(); }, noConverter, "makeConverter"},
};

class StartFailure : public StartSequence, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartFailure, RecordsTheReasonStopsAndMakesNoFurtherCall) {
    GetParam().arrange(*platform);
    const uint64_t generation = inspect(*voice).generation;
    EXPECT_FALSE(voice->start());
    EXPECT_EQ(lastError(*voice), startPrefix + GetParam().reason);
    // Nothing was stored in the instance yet, so the stop that follows has nothing to tear down.
    EXPECT_EQ(platform->log().entries(), startUpTo(GetParam().failingCall)) << platform->log().dump();
    expectStoppedAfterFailure(generation);
}

INSTANTIATE_TEST_SUITE_P(Steps, StartFailure, ::testing::ValuesIn(failures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartSequence, AnEngineThatFailsToStartIsTornDownWithItsTap) {
    platform->failEngineStart("the engine would not start");
    EXPECT_FALSE(voice->start());
    EXPECT_EQ(lastError(*voice), startPrefix + "the engine would not start");

    std::vector<std::string> expected = startUpTo("engine.start");
    for (const char* call : {"input.removeTapOnBus 0", "player.stop", "player.reset", "engine.stop"}) {
        expected.push_back(call);
    }
    EXPECT_EQ(platform->log().entries(), expected) << platform->log().dump();
    expectStoppedAfterFailure(0);
    EXPECT_FALSE(platform->currentPlayer()->playing());
}

TEST_F(StartSequence, AnEngineOrPlayerThatCannotBeMadeFailsTheStartCleanly) {
    platform->failMakeEngine(Calls::first(1));
    EXPECT_FALSE(voice->start());
    EXPECT_EQ(lastError(*voice).rfind(startPrefix, 0), 0u) << lastError(*voice);
    expectStoppedAfterFailure(0);

    platform->failMakePlayerNode(Calls::first(1));
    EXPECT_FALSE(voice->start());
    expectStoppedAfterFailure(1);
    EXPECT_FALSE(platform->log().contains("input.setVoiceProcessingEnabled 1"));

    EXPECT_TRUE(voice->start());
}

TEST_F(StartSequence, StartingARunningInstanceChangesNothingAndCallsNothing) {
    ASSERT_TRUE(voice->start());
    voice->setLastError("an earlier failure");
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    platform->log().clear();

    EXPECT_TRUE(voice->start());
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();
    EXPECT_EQ(inspect(*voice).generation, 0u);
    EXPECT_EQ(lastError(*voice), "an earlier failure");
    EXPECT_EQ(readCapture(*voice, 160).result, 160) << "the ring was not reset";
}

TEST_F(StartSequence, ASuccessfulStartAfterAFailedOneKeepsTheFailureText) {
    platform->failEngineStart("first try fails", Calls::first(1));
    EXPECT_FALSE(voice->start());
    EXPECT_TRUE(voice->start());
    EXPECT_EQ(lastError(*voice), startPrefix + "first try fails");
    EXPECT_TRUE(inspect(*voice).running);
    EXPECT_EQ(inspect(*voice).generation, 1u);
}

TEST_F(StartSequence, ARestartReopensAnEmptyRing) {
    ASSERT_TRUE(voice->start());
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    voice->stop();
    ASSERT_TRUE(voice->start());
    // Neither the previous run's samples nor its end of stream are visible.
    EXPECT_EQ(readCapture(*voice, 1, 0).result, 0);
    ASSERT_TRUE(platform->deliverTap({ramp(480, 0.25f)}));
    EXPECT_EQ(readCapture(*voice, 160).samples, defaultConversion(ramp(480, 0.25f), 48000, 168));
}

}  // namespace
}  // namespace mivo::testing
