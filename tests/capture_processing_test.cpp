#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <ostream>
#include <vector>

#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing {
namespace {

using core::VoiceIO;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::standardFormat;

const AudioFormat captureFormat{CommonFormat::int16, 16000, 1, false};

class CaptureProcessing : public ::testing::Test {
protected:
    void start(const AudioFormat& input = standardFormat(48000, 1)) {
        platform->setInputFormat(input);
        ASSERT_TRUE(voice->start()) << lastError(*voice);
        platform->log().clear();
    }
    ScriptedConverter& converter() { return *platform->currentConverter(); }
    size_t convertCalls() { return converter().calls().size(); }
    // True when the ring holds nothing, without waiting.
    bool ringEmpty() { return readCapture(*voice, 1, 0).result == 0; }

    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    std::shared_ptr<VoiceIO> voice = VoiceIO::create(platform);
};

TEST_F(CaptureProcessing, ATapBufferIsConvertedAndItsSamplesReachTheRing) {
    start();
    const auto samples = ramp(480, -0.5f, 1.0f / 480);
    ASSERT_TRUE(platform->deliverTap({samples}));

    const auto expected = defaultConversion(samples, 48000, 168);
    ASSERT_EQ(expected.size(), 160u);
    EXPECT_EQ(readCapture(*voice, 160).samples, expected);
    EXPECT_TRUE(ringEmpty());

    const auto calls = converter().calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].outputFormat, captureFormat);
    EXPECT_EQ(calls[0].outputCapacity, 168u);
    EXPECT_EQ(converter().fedSamples(), samples);
}

struct CapacityCase {
    double rate;
    uint32_t frames;
    uint32_t capacity;
};

void PrintTo(const CapacityCase& value, std::ostream* out) { *out << value.frames << " frames at " << value.rate; }

class OutputCapacity : public CaptureProcessing, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(OutputCapacity, IsTheConvertedLengthRoundedUpPlusEight) {
    start(standardFormat(GetParam().rate, 1));
    ASSERT_TRUE(platform->deliverTap({ramp(GetParam().frames)}));
    const auto calls = converter().calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].outputCapacity, GetParam().capacity);
}

INSTANTIATE_TEST_SUITE_P(Rates, OutputCapacity,
                         ::testing::Values(CapacityCase{48000, 480, 168}, CapacityCase{44100, 441, 168},
                                           CapacityCase{16000, 160, 168}, CapacityCase{48000, 4800, 1608},
                                           CapacityCase{22050, 220, 168}, CapacityCase{8000, 80, 168},
                                           CapacityCase{96000, 1, 9}));

struct LoudestCase {
    const char* name;
    std::vector<std::vector<float>> channels;
    size_t chosen;
};

void PrintTo(const LoudestCase& value, std::ostream* out) { *out << value.name; }

const float nanSample = std::numeric_limits<float>::quiet_NaN();

const LoudestCase loudestCases[] = {
    {"ThirdOfThree", {{0.1f, -0.1f, 0.1f}, {0.2f, 0.2f, -0.2f}, {-0.3f, 0.3f, 0.3f}}, 2},
    {"LoudestInTheMiddle", {{0.1f, 0.1f, 0.1f}, {0.0f, 0.0f, 0.9f}, {0.2f, 0.2f, 0.2f}}, 1},
    {"EqualEnergiesKeepTheLowerChannel", {{0.0f, 0.5f, 0.0f}, {0.0f, 0.0f, -0.5f}, {0.1f, 0.0f, 0.0f}}, 0},
    {"SilenceUsesChannelZero", {{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}, 0},
    {"NaNNeverDisplaces", {{0.1f, 0.1f, 0.1f}, {nanSample, 0.9f, 0.9f}, {0.0f, 0.0f, 0.05f}}, 0},
    {"NaNFirstIsDisplacedByANumber", {{nanSample, 0.9f, 0.9f}, {0.0f, 0.0f, 0.01f}}, 1},
    {"AllNaNUsesChannelZero", {{nanSample, 0.1f, 0.1f}, {0.2f, nanSample, 0.2f}}, 0},
    // Each square rounded before it is added: the same two samples in either order have the same
    // energy, so the lower channel stays. Fused multiply-adds would make channel 1 louder.
    {"EverySquareIsRoundedBeforeTheSum", {{0x1.bedd7p-2f, 0x1.204f06p-1f}, {0x1.204f06p-1f, 0x1.bedd7p-2f}}, 0},
};

class LoudestChannel : public CaptureProcessing, public ::testing::WithParamInterface<LoudestCase> {};

TEST_P(LoudestChannel, OnlyTheChosenChannelReachesTheConverter) {
    start(standardFormat(48000, static_cast<uint32_t>(GetParam().channels.size())));
    ASSERT_TRUE(platform->deliverTap(GetParam().channels));
    const auto calls = converter().calls();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_FALSE(calls[0].pulls.empty());
    const auto& given = calls[0].pulls[0];
    ASSERT_TRUE(given.gaveBuffer);
    EXPECT_EQ(given.format, standardFormat(48000, 1)) << "the converter is fed mono";
    ASSERT_EQ(given.channels.size(), 1u);
    const auto& expected = GetParam().channels[GetParam().chosen];
    ASSERT_EQ(given.channels[0].size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        if (std::isnan(expected[i])) {
            EXPECT_TRUE(std::isnan(given.channels[0][i])) << "sample " << i;
        } else {
            EXPECT_EQ(given.channels[0][i], expected[i]) << "sample " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, LoudestChannel, ::testing::ValuesIn(loudestCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureProcessing, EachConversionGetsTheMonoBufferOnceThenNoDataNow) {
    start();
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    ASSERT_TRUE(platform->deliverTap({ramp(480, 0.5f)}));
    const auto calls = converter().calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& call : calls) {
        ASSERT_EQ(call.pulls.size(), 2u) << "the converter stops at the first answer without data";
        EXPECT_TRUE(call.pulls[0].gaveBuffer);
        EXPECT_EQ(call.pulls[0].status, ConverterInputStatus::haveData);
        ASSERT_EQ(call.pulls[0].channels.size(), 1u);
        EXPECT_EQ(call.pulls[0].channels[0].size(), 480u);
        EXPECT_FALSE(call.pulls[1].gaveBuffer);
        EXPECT_EQ(call.pulls[1].status, ConverterInputStatus::noDataNow) << "never the end of the stream";
    }
    EXPECT_EQ(calls[1].pulls[0].channels[0], ramp(480, 0.5f)) << "the second buffer is offered afresh";
}

TEST_F(CaptureProcessing, AConversionErrorIsRecordedWritesNothingAndTheNextBufferFlowsAgain) {
    start();
    voice->setLastError("earlier");
    // The scripted converter still fills the output, so only the status keeps it out of the ring.
    platform->scriptConvert({ConverterOutputStatus::error, "resampler exploded", true}, Calls::first(1));
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    EXPECT_EQ(lastError(*voice), "Microphone resampling failed: resampler exploded");
    EXPECT_FALSE(converter().calls()[0].output.empty());
    EXPECT_TRUE(ringEmpty());

    ASSERT_TRUE(platform->deliverTap({ramp(480, 0.1f)}));
    EXPECT_EQ(readCapture(*voice, 160).samples, defaultConversion(ramp(480, 0.1f), 48000, 168));
    EXPECT_EQ(lastError(*voice), "Microphone resampling failed: resampler exploded");
    EXPECT_TRUE(inspect(*voice).running) << "a conversion error does not end capture";
}

TEST_F(CaptureProcessing, AnErrorWithoutDescriptionIsSilentAndOtherStatusesWriteWhateverCameWithThem) {
    start();
    voice->setLastError("untouched");
    platform->scriptConvert({ConverterOutputStatus::error, std::nullopt, true}, Calls::first(1));
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    EXPECT_TRUE(ringEmpty());
    EXPECT_EQ(lastError(*voice), "untouched");

    // An error description that comes with a status other than 3 is ignored.
    for (const auto status : {ConverterOutputStatus::haveData, ConverterOutputStatus::inputRanDry,
                              ConverterOutputStatus::endOfStream}) {
        platform->scriptConvert({status, "ignored", true}, Calls::first(1));
        ASSERT_TRUE(platform->deliverTap({ramp(480, 0.3f)}));
        EXPECT_EQ(readCapture(*voice, 160).samples, defaultConversion(ramp(480, 0.3f), 48000, 168))
            << "status " << static_cast<int>(status);
        EXPECT_TRUE(ringEmpty());
    }
    // A conversion that produced nothing writes nothing.
    platform->scriptConvert({ConverterOutputStatus::haveData, std::nullopt, false}, Calls::first(1));
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    EXPECT_TRUE(ringEmpty());
    EXPECT_EQ(lastError(*voice), "untouched");
}

TEST_F(CaptureProcessing, UnusableTapBuffersAreIgnoredWithoutATrace) {
    start();
    voice->setLastError("untouched");
    auto& input = platform->currentEngine()->input();

    ScriptedPCMBuffer noFrames(standardFormat(48000, 1), 480);  // frame length 0
    ScriptedPCMBuffer noChannels(standardFormat(48000, 0), 480);
    noChannels.setFrameLength(480);
    ScriptedPCMBuffer noMemory(standardFormat(48000, 1), 480, false);
    noMemory.setFrameLength(480);
    ScriptedPCMBuffer integers(AudioFormat{CommonFormat::int16, 48000, 1, false}, 480);
    integers.setFrameLength(480);
    const std::vector<const PCMBuffer*> buffers = {&noFrames, &noChannels, &noMemory, &integers};
    for (const PCMBuffer* buffer : buffers) {
        ASSERT_TRUE(input.deliver(*buffer));
    }
    EXPECT_EQ(convertCalls(), 0u);
    EXPECT_EQ(platform->log().countPrefix("makePCMBuffer"), 0u) << platform->log().dump();
    EXPECT_TRUE(ringEmpty());
    EXPECT_EQ(lastError(*voice), "untouched");
}

struct BufferFailureCase {
    const char* name;
    BufferFault fault;
    bool output;  // the output buffer fails, else the mono buffer
};

void PrintTo(const BufferFailureCase& value, std::ostream* out) { *out << value.name; }

class WorkingBufferFailure : public CaptureProcessing, public ::testing::WithParamInterface<BufferFailureCase> {};

TEST_P(WorkingBufferFailure, DropsOnlyThatTapBufferAndTheNextOneFlows) {
    start();
    const AudioFormat format = GetParam().output ? captureFormat : standardFormat(48000, 1);
    platform->failPCMBuffers({GetParam().fault, std::nullopt, format, Calls::first(1)});
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    EXPECT_TRUE(ringEmpty());
    if (!GetParam().output) {
        EXPECT_EQ(convertCalls(), 0u) << "no mono buffer, no conversion";
    }

    ASSERT_TRUE(platform->deliverTap({ramp(480, 0.2f)}));
    EXPECT_EQ(readCapture(*voice, 160).samples, defaultConversion(ramp(480, 0.2f), 48000, 168));
    EXPECT_EQ(lastError(*voice), "");
}

INSTANTIATE_TEST_SUITE_P(Buffers, WorkingBufferFailure,
                         ::testing::Values(BufferFailureCase{"MonoNotMade", BufferFault::null, false},
                                           BufferFailureCase{"MonoWithoutMemory", BufferFault::noSampleMemory, false},
                                           BufferFailureCase{"OutputNotMade", BufferFault::null, true},
                                           BufferFailureCase{"OutputWithoutMemory", BufferFault::noSampleMemory, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureProcessing, TheSteadyStateMakesNoNewBuffers) {
    start();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    EXPECT_EQ(platform->log().withPrefix("makePCMBuffer"),
              (std::vector<std::string>{"makePCMBuffer 48000/1 480", "makePCMBuffer 16000/1 int16 168"}));
    // A different length needs buffers of its own sizes.
    ASSERT_TRUE(platform->deliverTap({ramp(960)}));
    EXPECT_EQ(platform->log().countPrefix("makePCMBuffer 48000/1 960"), 1u);
    EXPECT_EQ(platform->log().countPrefix("makePCMBuffer 16000/1 int16 328"), 1u);
    EXPECT_EQ(readCapture(*voice, 5 * 160 + 320).result, 5 * 160 + 320);
}

TEST_F(CaptureProcessing, WithoutAConverterABufferDoesNothing) {
    // A fresh instance has neither converter nor mono format; its ring is open.
    capture::CaptureScratch scratch;
    const auto buffer = ScriptedPCMBuffer::fromChannels(standardFormat(48000, 1), {ramp(480)});
    VoiceIOProbe::capturePath(*voice).processCapture(*buffer, scratch);
    EXPECT_EQ(platform->log().size(), 0u) << platform->log().dump();
    EXPECT_TRUE(ringEmpty());
}

TEST_F(CaptureProcessing, ATapOutlivingItsInstanceDoesNothing) {
    start();
    const auto engine = platform->currentEngine();
    const auto converterLeft = platform->currentConverter();
    std::weak_ptr<VoiceIO> gone = voice;
    voice.reset();
    ASSERT_TRUE(gone.expired()) << "the tap must not keep the instance alive";
    EXPECT_FALSE(engine->input().tapInstalled());

    // Called anyway, against the platform's own guarantee, the block finds no instance.
    const auto buffer = ScriptedPCMBuffer::fromChannels(standardFormat(48000, 1), {ramp(480)});
    EXPECT_TRUE(engine->input().deliverToRemovedTap(*buffer));
    EXPECT_EQ(converterLeft->calls().size(), 0u);
}

TEST_F(CaptureProcessing, AReaderBlockedOnTheHostThreadIsServedByTapBuffers) {
    start();
    auto reader = readCaptureAsync(*voice, 320, longTimeoutMs);
    ASSERT_TRUE(platform->deliverTap({ramp(480)}));
    ASSERT_TRUE(platform->deliverTap({ramp(480, 0.4f)}));
    ASSERT_EQ(reader.wait_for(promptly), std::future_status::ready);
    auto expected = defaultConversion(ramp(480), 48000, 168);
    const auto second = defaultConversion(ramp(480, 0.4f), 48000, 168);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(reader.get().samples, expected);
}

}  // namespace
}  // namespace mivo::testing
