#pragma once

// What the microphone and the library made of the run: the raw capture's levels, the latency the
// library adds over a plain client, and how much echo it removed.

#include <cstdint>
#include <vector>

#include "mivo_duplex/check/check_session.h"
#include "mivo_duplex/check/echo_path.h"

namespace mivo::duplex::check {

struct CaptureChain {
    double noiseFloorDbfs = -120.0;
    double peakDbfs = -120.0;      // may pass 0: a float microphone shows how far over it went
    int64_t clippedSamples = 0;    // at or beyond full scale
    bool latencyKnown = false;
    double latencyAddedMs = 0.0;   // library's delivery after the plain client's, same sound
    // The library's sample j shows what the raw microphone has at its sample 3 * (j + rawLag) (at
    // 48 kHz): by delivery times until the latency is known, then by the sound itself.
    int64_t rawLag = 0;
};

struct Cancellation {
    std::vector<double> erlePerSecond;  // from the first far-end write; NaN: nothing to judge by
    double erleMedianDb = 0.0;          // after the canceller's first 3 s
    double erleLowestDb = 0.0;
    bool judged = false;                // some second after 3 s had echo to judge by
    bool doubleTalk = false;
    bool nearHeard = false;
    double nearKeptDb = 0.0;            // near-end level in the library's output against the raw
};

// Where one stream's samples sit in time: sample n was delivered at epoch + n / rate, typically.
Clock::time_point deliveryEpoch(const std::vector<Delivery>& deliveries, double rate);

CaptureChain measureCaptureChain(const SessionRecording& recording);

// Needs the chain's latency (the library's output lined up with the raw microphone) and the echo
// path's response (the echo the raw microphone should hold, to find the near end under it).
Cancellation measureCancellation(const SessionRecording& recording, const CaptureChain& chain,
                                 const AlignedSignals& aligned, const EchoPath& path);

constexpr double settleSeconds = 3.0;

}  // namespace mivo::duplex::check
