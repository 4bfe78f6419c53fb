#pragma once

// What the device-format tests need beside the room: channel maps, signals, where a played signal
// is found in a recording, and a short echo-cancellation session through the C interface.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace mivo::testing {

// The rooms' channel positions: a stereo microphone, a four-input one as a surround-40 input
// profile shows it, and a multi-input interface whose inputs have only numbers.
inline const std::string stereoMap = "front-left,front-right";
inline const std::string fourChannelMap = "front-left,front-right,rear-left,rear-right";
inline const std::string auxMap = "aux0,aux1,aux2,aux3";

// Deterministic noise at 48 kHz, below 12 kHz, at about -15 dBFS RMS: it survives a 44.1 kHz
// device unchanged but for the converters' own errors.
std::vector<float> bandLimitedNoise(size_t count, unsigned seed);

// Where `expected` lies in `recorded` (both 48 kHz), to a 512th of a sample, and how closely it
// matches there.
struct Placement {
    long offset = -1;
    double fraction = 0.0;              // and this much of a sample later (-0.5 to 0.5)
    double correlation = 0.0;           // normalised, at the offset and fraction
    double neighbourCorrelation = 0.0;  // the better of the offsets one either side
    double gainDb = 0.0;                // least-squares gain of the recording against expected
    double residualDb = 0.0;            // what the gain leaves, against the expected signal's energy
};
Placement place(const std::vector<float>& recorded, const std::vector<float>& expected);

// A room of tools/room/rooms.conf whose echo mivo-room makes, and the window (seconds from the
// first far-end write) and the floor it is judged by. The floor sits under the worst runs seen (57
// to 60 dB on PulseAudio; mostly 59 to 60 on PipeWire, with single runs at 17 and 24 dB, a mono
// microphone among them) and far above a canceller left out (0 dB).
inline const std::string echoRoom = "office";
inline constexpr double echoJudgedFrom = 2.5;
inline constexpr double echoJudgedTo = 5.4;
inline constexpr double echoFloorDb = 10.0;

// About 5.5 s of far-end speech by espeak-ng at 48 kHz, -20 dBFS RMS; empty without espeak-ng.
std::vector<float> farEndSpeech(const std::string& directory);

// The far end played through the library (with its canceller) while room.monitor, the raw
// microphone, is recorded beside it; both cut by arrival time. Once the far end has been played a
// near-end talker says a 1 kHz tone at `nearAmplitude` on every one of the room's `roomChannels`.
inline constexpr double nearAmplitude = 0.1;
inline constexpr double nearSeconds = 1.5;
struct EchoSession {
    using Clock = std::chrono::steady_clock;
    std::string failure;
    Clock::time_point farStarted;
    Clock::time_point nearStarted;
    std::vector<double> library;  // 16 kHz, full scale 1
    std::vector<std::pair<size_t, Clock::time_point>> libraryReads;
    std::vector<double> microphone;  // 16 kHz
    std::vector<std::pair<size_t, Clock::time_point>> microphoneReads;

    // Echo return loss enhancement between the two times, in dB; the microphone's level too.
    double reductionDb(double fromSeconds, double toSeconds, double* microphoneDb) const;
    // The near end's 1 kHz amplitude in what the host read, over its last second.
    double nearAmplitudeHeard() const;
};
EchoSession runEchoSession(const std::vector<float>& far, unsigned roomChannels, const std::string& roomMap);

}  // namespace mivo::testing
