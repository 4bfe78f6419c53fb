// The library on microphones and loudspeakers of other formats than the room's usual 48 kHz mono:
// the room sink (whose monitor is the microphone) at 16 to 96 kHz with 1, 2 or 4 channels, the
// speaker at 44.1 kHz stereo. The server converts the rates; the channels reach the library as
// they are, and a talker on one channel of several must reach the host at that channel's level.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mivo_voice_io.h"
#include "platform/audio_platform.h"
#include "platform/pulse/pulse_platform.h"
#include "format_room.h"
#include "private_pulse_daemon.h"
#include "pulse_daemon_test.h"
#include "voice_handle.h"

namespace mivo::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double toneHz = 1000.0;
constexpr double toneAmplitude16 = 0.5;

double decibels(double ratio) { return 20.0 * std::log10(std::max(ratio, 1e-12)); }

// Where a tone is found in 16 kHz samples: the frequency of the strongest 1 Hz bin near 1 kHz over
// the whole second; its amplitude in full scale, and what else sounds beside it, as most 20 ms
// blocks have them, so that a skip in the test's own talker stream (a jump in the tone's phase,
// seen on PipeWire) spoils one block rather than the whole fit.
struct FoundTone {
    double frequency = 0.0;
    double amplitude = 0.0;
    double rest = 0.0;
};

FoundTone findTone(const std::vector<int16_t>& samples) {
    FoundTone found;
    for (double frequency = 900.0; frequency <= 1100.0; frequency += 1.0) {
        const double amplitude = toneAmplitude(samples.data(), samples.size(), frequency, 16000.0) / 32768.0;
        if (amplitude > found.amplitude) found = {frequency, amplitude};
    }
    found.amplitude = typicalToneAmplitude(samples.data(), samples.size(), found.frequency, 16000.0) / 32768.0;
    found.rest = typicalRestBesideTone(samples.data(), samples.size(), found.frequency, 16000.0) / 32768.0;
    return found;
}

// Reads until the tone is there at all (a fresh server may start its graph late), then 1 s.
std::vector<int16_t> readTone(const Handle& voice) {
    const auto deadline = Clock::now() + 3s;
    while (Clock::now() < deadline) {
        const auto chunk = voice.read(1600);
        if (chunk.size() < 1600) return {};
        if (toneAmplitude(chunk.data(), chunk.size(), toneHz, 16000.0) / 32768.0 >= toneAmplitude16 / 8) {
            voice.read(1600);  // the resamplers' and the channel choice's first moments
            return voice.read(16000);
        }
    }
    return {};
}

// Whether the server lists `source` with this rate and channel count ("... 4ch 96000Hz ...").
bool hasFormat(PrivatePulseDaemon& daemon, const std::string& source, unsigned rate, size_t channels) {
    std::istringstream lines(daemon.pactlOutput("list short sources"));
    for (std::string line; std::getline(lines, line);) {
        // Built by appending: GCC 12 warns wrongly about a literal put in front of a string.
        if (line.find(std::string("\t").append(source).append("\t")) == std::string::npos) continue;
        const std::string count = std::to_string(channels) + "ch";
        const std::string hertz = std::to_string(rate) + "Hz";
        return line.find(std::string(" ").append(count).append(" ").append(hertz)) != std::string::npos ||
               line.find(std::string("\t").append(count).append("\t").append(hertz)) != std::string::npos;
    }
    return false;
}

// ------------------------------------------------------------------ the talker on one channel

// A microphone format and how the talker is spread over its channels; the talker's own channel
// is the one at gain 1.
struct TalkerCase {
    const char* name;
    unsigned rate;
    std::vector<float> gains;
    std::string map;
};

void PrintTo(const TalkerCase& talker, std::ostream* out) { *out << talker.name; }

class DeviceFormatTalkerTest : public PulseDaemonTest, public ::testing::WithParamInterface<TalkerCase> {
protected:
    room::DeviceFormats deviceFormats() const override {
        room::DeviceFormats formats;
        formats.roomRate = GetParam().rate;
        formats.roomChannels = static_cast<unsigned>(GetParam().gains.size());
        formats.roomChannelMap = GetParam().map;
        return formats;
    }
};

TEST_P(DeviceFormatTalkerTest, TheTalkerArrivesAt16kAtItsFrequencyAndItsChannelsLevel) {
    const TalkerCase& talker = GetParam();
    SignalPlayer player("room", sine(toneHz, toneAmplitude16, 1.0), true, 60, {talker.gains, talker.map});
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    const auto samples = readTone(voice);
    ASSERT_EQ(samples.size(), 16000u) << "the tone was not heard within 3 s";
    ASSERT_FALSE(player.failed());
    // With every stream in place the microphone still has its own format.
    ASSERT_TRUE(hasFormat(daemon(), "room.monitor", talker.rate, talker.gains.size()))
        << daemon().pactlOutput("list short sources");
    const FoundTone found = findTone(samples);
    EXPECT_NEAR(found.frequency, toneHz, 2.0);
    EXPECT_NEAR(decibels(found.amplitude / toneAmplitude16), 0.0, 2.0) << "amplitude " << found.amplitude;
    // Nothing else of note: no second tone from a wrong rate, no distortion.
    const double rest = found.rest;
    EXPECT_LT(decibels(rest / found.amplitude), -30.0) << "rest " << rest;
    std::printf("%s: %.0f Hz at %.2f dB of its channel's level, the rest %.1f dB below\n", talker.name,
                found.frequency, decibels(found.amplitude / toneAmplitude16), -decibels(rest / found.amplitude));
    mivo_voice_io_stop(voice.get());
}

std::string caseName(const ::testing::TestParamInfo<TalkerCase>& info) { return info.param.name; }

// Every rate with 1, 2 and 4 channels; on two and four the talker is on a channel other than the
// first and the rest are dead.
INSTANTIATE_TEST_SUITE_P(
    SourceFormats, DeviceFormatTalkerTest,
    ::testing::Values(TalkerCase{"r16000_mono", 16000, {1}, ""}, TalkerCase{"r44100_mono", 44100, {1}, ""},
                      TalkerCase{"r48000_mono", 48000, {1}, ""}, TalkerCase{"r96000_mono", 96000, {1}, ""},
                      TalkerCase{"r16000_stereo", 16000, {0, 1}, stereoMap},
                      TalkerCase{"r44100_stereo", 44100, {0, 1}, stereoMap},
                      TalkerCase{"r48000_stereo", 48000, {0, 1}, stereoMap},
                      TalkerCase{"r96000_stereo", 96000, {0, 1}, stereoMap},
                      TalkerCase{"r16000_4ch", 16000, {0, 0, 1, 0}, fourChannelMap},
                      TalkerCase{"r44100_4ch", 44100, {0, 0, 1, 0}, fourChannelMap},
                      TalkerCase{"r48000_4ch", 48000, {0, 0, 1, 0}, fourChannelMap},
                      TalkerCase{"r96000_4ch", 96000, {0, 0, 1, 0}, fourChannelMap}),
    caseName);

// Four channels with the talker on one and the others quieter: -12 dB copies (a second, farther
// microphone), a uniform array, and inputs named only by number, as a multi-input interface has.
INSTANTIATE_TEST_SUITE_P(
    FourChannels, DeviceFormatTalkerTest,
    ::testing::Values(TalkerCase{"r48000_others_12dB_down", 48000, {0.25f, 0.25f, 0.25f, 1}, fourChannelMap},
                      TalkerCase{"r44100_others_12dB_down", 44100, {0.25f, 1, 0.25f, 0.25f}, fourChannelMap},
                      TalkerCase{"r48000_uniform", 48000, {1, 1, 1, 1}, fourChannelMap},
                      TalkerCase{"r48000_aux_inputs", 48000, {0, 0, 0, 1}, auxMap}),
    caseName);

// ------------------------------------------------------------------ a 44.1 kHz stereo speaker

class DeviceFormatSpeakerTest : public PulseDaemonTest {
protected:
    room::DeviceFormats deviceFormats() const override {
        room::DeviceFormats formats;
        formats.roomRate = 44100;
        formats.speakerRate = 44100;
        formats.speakerChannels = 2;
        return formats;
    }
};

// What the library plays is on the speaker's monitor (converted there and back by the server)
// at one offset, whole, with silence around it; the wait ends when it has been played. The
// server's two conversions, to 44.1 kHz and back, each start at a phase of their own, so the copy
// may lie between two samples: it is placed to a fraction of one.
TEST_F(DeviceFormatSpeakerTest, PlaybackIsFoundSampleAccuratelyOnTheSpeakersMonitor) {
    // Each side on its own, in the speaker's own positions: the library's mono reaches both at
    // its level.
    Recorder left("speaker.monitor", 5, 2, 0);
    Recorder right("speaker.monitor", 5, 2, 1);
    Handle voice;
    ASSERT_EQ(mivo_voice_io_start(voice.get()), 0) << voice.lastError();
    std::this_thread::sleep_for(200ms);
    const std::vector<float> expected = bandLimitedNoise(24000, 7);
    std::vector<int16_t> frames(expected.size());
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<int16_t>(std::lround(expected[i] * 32768.0f));
    const uint64_t before = mivo_voice_io_played_frames(voice.get());
    ASSERT_EQ(voice.write(frames), 1) << voice.lastError();
    ASSERT_EQ(mivo_voice_io_wait_playback(voice.get()), 1) << voice.lastError();
    const auto drained = Clock::now();
    EXPECT_EQ(mivo_voice_io_played_frames(voice.get()) - before, frames.size());
    for (Recorder* side : {&left, &right}) ASSERT_TRUE(side->waitForFrames(side->frames() + 9600, 2s));
    ASSERT_TRUE(hasFormat(daemon(), "speaker.monitor", 44100, 2)) << daemon().pactlOutput("list short sources");
    mivo_voice_io_stop(voice.get());

    for (Recorder* side : {&left, &right}) {
        SCOPED_TRACE(side == &left ? "left" : "right");
        side->stop();
        const auto recorded = side->samples();
        const Placement placement = place(recorded, expected);
        ASSERT_GE(placement.offset, 64) << "correlation " << placement.correlation;
        ASSERT_LE(static_cast<size_t>(placement.offset) + expected.size() + 64, recorded.size());
        // The same samples, but for what two rate conversions leave, and a clearly best offset.
        EXPECT_GE(placement.correlation, 0.9999);
        EXPECT_LT(placement.neighbourCorrelation, placement.correlation - 0.1);
        EXPECT_NEAR(placement.gainDb, 0.0, 0.2);
        EXPECT_LT(placement.residualDb, -40.0);
        // Silence before and after it: nothing repeated, nothing left out.
        const size_t at = static_cast<size_t>(placement.offset);
        EXPECT_LT(rms(recorded.data() + at - 64, 48), 1e-3);
        EXPECT_LT(rms(recorded.data() + at + expected.size() + 16, 48), 1e-3);
        const auto heard = side->arrivalOf(at + expected.size() - 1);
        EXPECT_LE(heard - drained, 40ms);
        EXPECT_GE(heard - drained, -150ms);
        std::printf("44.1 kHz stereo speaker, %s: %+.3f of a sample off the grid, correlation %.5f (next offset "
                    "%.5f), gain %.2f dB, residual %.1f dB\n",
                    side == &left ? "left" : "right", placement.fraction, placement.correlation,
                    placement.neighbourCorrelation, placement.gainDb, placement.residualDb);
    }
}

// ------------------------------------------------------------------ echo cancellation

struct EchoCase {
    const char* name;
    room::DeviceFormats formats;
};

void PrintTo(const EchoCase& echo, std::ostream* out) { *out << echo.name; }

class DeviceFormatEchoTest : public PulseDaemonTest, public ::testing::WithParamInterface<EchoCase> {
protected:
    std::string roomName() const override { return echoRoom; }
    room::DeviceFormats deviceFormats() const override { return GetParam().formats; }
};

TEST_P(DeviceFormatEchoTest, TheEchoIsCancelledAboveTheFloor) {
    const std::vector<float> far = farEndSpeech(daemon().directory());
    ASSERT_FALSE(far.empty()) << "espeak-ng (Debian package espeak-ng) is needed to make the far end";
    const EchoSession session = runEchoSession(far, GetParam().formats.roomChannels, GetParam().formats.roomChannelMap);
    ASSERT_TRUE(session.failure.empty()) << session.failure;
    const room::DeviceFormats& formats = GetParam().formats;
    EXPECT_TRUE(hasFormat(daemon(), "room.monitor", formats.roomRate, formats.roomChannels) &&
                hasFormat(daemon(), "speaker.monitor", formats.speakerRate, formats.speakerChannels))
        << daemon().pactlOutput("list short sources");
    double microphoneDb = 0.0;
    const double reduction = session.reductionDb(echoJudgedFrom, echoJudgedTo, &microphoneDb);
    ASSERT_GT(microphoneDb, -40.0) << "the room returned no echo";
    EXPECT_GE(reduction, echoFloorDb) << "echo at the microphone " << microphoneDb << " dBFS; " << [&] {
        // When it fails: whether the echo was never taken out, or was and came back.
        std::string steps = "by half seconds:";
        for (double at = 0.5; at + 0.5 <= echoJudgedTo; at += 0.5) {
            steps.append(" ").append(std::to_string(std::lround(session.reductionDb(at, at + 0.5, nullptr))));
        }
        return steps.append(" dB; the room said:\n").append(daemon().roomLog());
    }();
    // The reduction is not the capture going quiet: the near end, alone, comes through.
    const double nearDb = decibels(session.nearAmplitudeHeard() / nearAmplitude);
    EXPECT_NEAR(nearDb, 0.0, 6.0);
    std::printf("%s: echo reduction %.1f dB (echo at the microphone %.1f dBFS), near end alone at %.1f dB\n",
                GetParam().name, reduction, microphoneDb, nearDb);
}

room::DeviceFormats roomFormat(unsigned rate, unsigned channels, std::string map) {
    room::DeviceFormats formats;
    formats.roomRate = rate;
    formats.roomChannels = channels;
    formats.roomChannelMap = std::move(map);
    return formats;
}

// Each case takes ten seconds on each server: unless MIVO_ALL_FORMATS is set, only the cases that
// between them cover every rate and every channel count run, and the speaker.
bool runsByDefault(const std::string& name) {
    for (const char* covering : {"r16000_mono", "r44100_stereo", "r48000_4ch", "r96000_stereo", "speaker_r44100_stereo"}) {
        if (name == covering) return true;
    }
    return std::getenv("MIVO_ALL_FORMATS") != nullptr;
}

std::vector<EchoCase> echoCases() {
    std::vector<EchoCase> cases;
    static const char* const names[] = {"r16000_mono",   "r44100_mono",   "r48000_mono", "r96000_mono",
                                        "r16000_stereo", "r44100_stereo", "r48000_stereo", "r96000_stereo",
                                        "r16000_4ch",    "r44100_4ch",    "r48000_4ch",  "r96000_4ch"};
    size_t at = 0;
    for (unsigned channels : {1u, 2u, 4u}) {
        for (unsigned rate : {16000u, 44100u, 48000u, 96000u}) {
            const std::string map = channels == 1 ? "" : channels == 2 ? stereoMap : fourChannelMap;
            cases.push_back({names[at++], roomFormat(rate, channels, map)});
        }
    }
    room::DeviceFormats speaker = roomFormat(44100, 2, stereoMap);
    speaker.speakerRate = 44100;
    speaker.speakerChannels = 2;
    cases.push_back({"speaker_r44100_stereo", speaker});
    std::erase_if(cases, [](const EchoCase& c) { return !runsByDefault(c.name); });
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, DeviceFormatEchoTest, ::testing::ValuesIn(echoCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo::testing
