#pragma once

// The echo path as the microphone heard it: loudspeaker monitor against raw microphone, lined up
// on the server's clock, so that delays are from played to captured.

#include <cstddef>
#include <vector>

namespace mivo::duplex::check {

struct EchoPath {
    bool heard = false;         // the microphone repeats the loudspeaker at all
    double delayMs = 0.0;       // first arrival (the earliest within 12 dB of the strongest)
    double levelDb = 0.0;       // of the first arrival, against what was played
    double strongestMs = 0.0;
    double rt60Seconds = -1.0;  // -1: the decay could not be measured
    double driftPpm = 0.0;
    bool changed = false;       // the path moved during the run
    double changedDelayMs = 0.0;
    int windows = 0;
    // The whole run's response, from the loudspeaker to the microphone, tap 0 at lag 0.
    std::vector<double> taps;
};

struct AlignedSignals {
    std::vector<float> speaker;
    std::vector<float> microphone;  // sample i heard as speaker sample i was played
    size_t microphoneStart = 0;     // index of microphone[0] in the raw recording
};

constexpr double analysisRate = 48000.0;

// Samples [quietBegin, quietEnd) hold a near-end talker as well: the path is measured around them.
EchoPath measureEchoPath(const AlignedSignals& signals, size_t talkBegin, size_t talkEnd);

// Reverberation time from an impulse response by Schroeder's backward integration, from `first`
// on; -1 when the decay does not fall clear of the noise.
double reverberationSeconds(const std::vector<double>& response, size_t first, double rate);

}  // namespace mivo::duplex::check
