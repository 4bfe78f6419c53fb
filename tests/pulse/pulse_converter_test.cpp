// The soxr converter behind makeConverter: rate, level and streaming state, and its pull protocol.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/pulse/pulse_platform.h"
#include "private_pulse_daemon.h"

namespace mivo::testing {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::PCMBuffer;
using platform::PlatformError;

const AudioFormat capture16k{CommonFormat::int16, 16000, 1, false};

// Converts `input` the way the capture path does: one buffer of `chunk` frames per call, then
// "no data now". Returns everything produced.
std::vector<int16_t> convertInChunks(platform::AudioPlatform& platform, platform::AudioConverter& converter,
                                     const std::vector<float>& input, double rate, uint32_t chunk,
                                     std::vector<ConverterOutputStatus>* statuses = nullptr) {
    const auto inFormat = platform::standardFormat(rate, 1);
    auto in = platform.makePCMBuffer(inFormat, chunk);
    const auto capacity = static_cast<uint32_t>(std::ceil(chunk * 16000.0 / rate)) + 8;
    auto out = platform.makePCMBuffer(capture16k, capacity);
    std::vector<int16_t> produced;
    for (size_t at = 0; at + chunk <= input.size(); at += chunk) {
        std::copy(input.begin() + static_cast<long>(at), input.begin() + static_cast<long>(at + chunk),
                  in->floatChannelData()[0]);
        in->setFrameLength(chunk);
        bool supplied = false;
        std::optional<PlatformError> error;
        const auto status = converter.convert(*out, error, [&](uint32_t, ConverterInputStatus& inputStatus) -> PCMBuffer* {
            if (supplied) {
                inputStatus = ConverterInputStatus::noDataNow;
                return nullptr;
            }
            supplied = true;
            inputStatus = ConverterInputStatus::haveData;
            return in.get();
        });
        EXPECT_NE(status, ConverterOutputStatus::error) << (error ? error->description : "");
        if (statuses) statuses->push_back(status);
        const int16_t* samples = out->int16ChannelData()[0];
        produced.insert(produced.end(), samples, samples + out->frameLength());
    }
    return produced;
}

TEST(SoxrConverterTest, CarriesAToneFrom48kTo16kAtItsLevel) {
    platform::pulse::PulsePlatform platform;
    auto converter = platform.makeConverter(platform::standardFormat(48000, 1), capture16k);
    ASSERT_NE(converter, nullptr);
    const auto tone = sine(1000.0, 0.5, 2.0);
    const auto out = convertInChunks(platform, *converter, tone, 48000, 480);
    // One third of the input, less what the filter still holds.
    EXPECT_GT(out.size(), 32000u - 400u);
    EXPECT_LE(out.size(), 32000u);
    // Past the filter's start-up, the tone is there at its level: 0.5 of full scale.
    const size_t skip = 1600;
    const size_t length = 16000;
    ASSERT_GT(out.size(), skip + length);
    const double amplitude = toneAmplitude(out.data() + skip, length, 1000.0, 16000.0) / 32768.0;
    EXPECT_NEAR(amplitude, 0.5, 0.005);
    // And it is the only thing there.
    const double total = rms(out.data() + skip, length) / 32768.0;
    EXPECT_NEAR(total, 0.5 / std::sqrt(2.0), 0.005);
    EXPECT_LT(toneAmplitude(out.data() + skip, length, 3000.0, 16000.0) / 32768.0, 0.001);
}

TEST(SoxrConverterTest, StreamsAcrossCallsLikeOneLongConversion) {
    platform::pulse::PulsePlatform platform;
    const auto signal = sine(1234.5, 0.7, 1.0, 44100);
    // 441-frame buffers (10 ms at 44.1 kHz) against a single one-second buffer.
    auto chunked = platform.makeConverter(platform::standardFormat(44100, 1), capture16k);
    auto whole = platform.makeConverter(platform::standardFormat(44100, 1), capture16k);
    const auto pieces = convertInChunks(platform, *chunked, signal, 44100, 441);
    const auto once = convertInChunks(platform, *whole, signal, 44100, 44100);
    ASSERT_GT(pieces.size(), 15000u);
    // Produced in pieces, the output is the same stream: no seams, no lost or repeated samples.
    const size_t common = std::min(pieces.size(), once.size());
    ASSERT_GT(common, 15000u);
    int worst = 0;
    for (size_t i = 0; i < common; ++i) worst = std::max(worst, std::abs(pieces[i] - once[i]));
    EXPECT_LE(worst, 1);
}

TEST(SoxrConverterTest, ReportsDryInputEndOfStreamAndBadInput) {
    platform::pulse::PulsePlatform platform;
    const auto inFormat = platform::standardFormat(48000, 1);
    auto converter = platform.makeConverter(inFormat, capture16k);
    auto out = platform.makePCMBuffer(capture16k, 168);
    std::optional<PlatformError> error;

    // Nothing to give: input ran dry, nothing produced.
    auto status = converter->convert(*out, error, [](uint32_t, ConverterInputStatus& s) -> PCMBuffer* {
        s = ConverterInputStatus::noDataNow;
        return nullptr;
    });
    EXPECT_EQ(status, ConverterOutputStatus::inputRanDry);
    EXPECT_EQ(out->frameLength(), 0u);

    // Then a buffer, then the end: what the filter held comes out, then the end is reported.
    auto in = platform.makePCMBuffer(inFormat, 480);
    const auto tone = sine(1000, 0.5, 0.01);
    std::copy(tone.begin(), tone.end(), in->floatChannelData()[0]);
    in->setFrameLength(480);
    size_t total = 0;
    int calls = 0;
    bool given = false;
    for (;;) {
        status = converter->convert(*out, error, [&](uint32_t, ConverterInputStatus& s) -> PCMBuffer* {
            if (!given) {
                given = true;
                s = ConverterInputStatus::haveData;
                return in.get();
            }
            s = ConverterInputStatus::endOfStream;
            return nullptr;
        });
        ASSERT_NE(status, ConverterOutputStatus::error);
        total += out->frameLength();
        if (status == ConverterOutputStatus::endOfStream) break;
        ASSERT_LT(++calls, 10);
    }
    EXPECT_EQ(out->frameLength(), 0u);
    // The whole 10 ms came out at 16 kHz once flushed.
    EXPECT_NEAR(static_cast<double>(total), 160.0, 2.0);

    // A buffer in another format is an error with a description.
    auto fresh = platform.makeConverter(inFormat, capture16k);
    auto wrong = platform.makePCMBuffer(platform::standardFormat(44100, 1), 441);
    wrong->setFrameLength(441);
    error.reset();
    status = fresh->convert(*out, error, [&](uint32_t, ConverterInputStatus& s) -> PCMBuffer* {
        s = ConverterInputStatus::haveData;
        return wrong.get();
    });
    EXPECT_EQ(status, ConverterOutputStatus::error);
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->description.empty());
    // "Have data" without a buffer too.
    error.reset();
    status = fresh->convert(*out, error, [&](uint32_t, ConverterInputStatus& s) -> PCMBuffer* {
        s = ConverterInputStatus::haveData;
        return nullptr;
    });
    EXPECT_EQ(status, ConverterOutputStatus::error);
    EXPECT_TRUE(error.has_value());
}

// At one rate nothing is filtered or held back: each sample comes out in its place, in the same
// call, converted as the resampler converts (times 32768, rounded to nearest, clipped).
TEST(SoxrConverterTest, AtOneRateEverySampleComesOutAtOnceInItsPlace) {
    platform::pulse::PulsePlatform platform;
    auto converter = platform.makeConverter(platform::standardFormat(16000, 1), capture16k);
    ASSERT_NE(converter, nullptr);
    std::vector<float> input(1600, 0.0f);
    input[5] = 0.5f;
    input[6] = -0.25f;
    input[170] = 1.0f;   // clips to the largest
    input[171] = -1.5f;  // clips to the smallest
    input[300] = 1.4f / 32768.0f;
    input[301] = -1.6f / 32768.0f;
    const auto out = convertInChunks(platform, *converter, input, 16000, 160);
    ASSERT_EQ(out.size(), input.size());
    EXPECT_EQ(out[5], 16384);
    EXPECT_EQ(out[6], -8192);
    EXPECT_EQ(out[170], 32767);
    EXPECT_EQ(out[171], -32768);
    EXPECT_EQ(out[300], 1);
    EXPECT_EQ(out[301], -2);
    long others = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i != 5 && i != 6 && i != 170 && i != 171 && i != 300 && i != 301) others += std::abs(out[i]);
    }
    EXPECT_EQ(others, 0);
}

// What does not fit a small output waits, in order, for the next call; at the end it comes out
// before the end is reported.
TEST(SoxrConverterTest, AtOneRateWhatDoesNotFitWaitsForTheNextCall) {
    platform::pulse::PulsePlatform platform;
    const auto inFormat = platform::standardFormat(16000, 1);
    auto converter = platform.makeConverter(inFormat, capture16k);
    auto in = platform.makePCMBuffer(inFormat, 160);
    for (uint32_t i = 0; i < 160; ++i) in->floatChannelData()[0][i] = static_cast<float>(i) / 32768.0f;
    in->setFrameLength(160);
    auto out = platform.makePCMBuffer(capture16k, 100);
    std::optional<PlatformError> error;
    int given = 0;
    std::vector<int16_t> produced;
    std::vector<ConverterOutputStatus> statuses;
    for (int call = 0; call < 6; ++call) {
        statuses.push_back(converter->convert(*out, error, [&](uint32_t, ConverterInputStatus& s) -> PCMBuffer* {
            if (given < 2) {
                ++given;
                s = ConverterInputStatus::haveData;
                return in.get();
            }
            s = ConverterInputStatus::endOfStream;
            return nullptr;
        }));
        produced.insert(produced.end(), out->int16ChannelData()[0], out->int16ChannelData()[0] + out->frameLength());
        if (statuses.back() == ConverterOutputStatus::endOfStream) break;
    }
    ASSERT_EQ(produced.size(), 320u);
    for (size_t i = 0; i < produced.size(); ++i) ASSERT_EQ(produced[i], static_cast<int16_t>(i % 160)) << i;
    EXPECT_EQ(statuses.back(), ConverterOutputStatus::endOfStream);
    for (size_t i = 0; i + 1 < statuses.size(); ++i) EXPECT_EQ(statuses[i], ConverterOutputStatus::haveData) << i;
}

TEST(SoxrConverterTest, RefusesFormatPairsItCannotConvert) {
    platform::pulse::PulsePlatform platform;
    const auto mono48k = platform::standardFormat(48000, 1);
    EXPECT_EQ(platform.makeConverter(mono48k, AudioFormat{CommonFormat::int16, 16000, 1, true}), nullptr);
    EXPECT_EQ(platform.makeConverter(mono48k, AudioFormat{CommonFormat::int16, 16000, 2, false}), nullptr);
    EXPECT_EQ(platform.makeConverter(platform::standardFormat(0, 1), capture16k), nullptr);
    EXPECT_EQ(platform.makeConverter(mono48k, AudioFormat{CommonFormat::int16, std::nan(""), 1, false}), nullptr);
    EXPECT_NE(platform.makeConverter(platform::standardFormat(22050, 1), capture16k), nullptr);
}

}  // namespace
}  // namespace mivo::testing
