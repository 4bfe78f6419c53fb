#pragma once

// What the room does to the loudspeaker's sound on its way to the microphone, sample by sample:
// soft clipping, clock drift, reverberation, delay, gain, noise, and a change at a given time.
// Made once with everything it needs; process() allocates nothing and takes no lock.

#include <soxr.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "partitioned_convolver.h"
#include "room_description.h"

namespace mivo::room {

class EchoPath {
public:
    // `maximumBlock`: the most samples one process() call is given.
    EchoPath(const RoomDescription& room, double rate, size_t maximumBlock);
    ~EchoPath();
    EchoPath(const EchoPath&) = delete;
    EchoPath& operator=(const EchoPath&) = delete;

    // The path's own latency, in samples: what it takes before the delay line (reverberation
    // block, resampler).
    double processingLatency() const;
    // Places the echo: output sample j carries input sample j - `samples` through the direct
    // path (before the drift has moved it). Until this is called the path is silent apart from
    // its noise.
    void placeEcho(int64_t samples);
    bool placed() const { return placed_; }
    // The echo's offset as placed, with the change applied once it has happened.
    int64_t echoOffset() const { return echoOffset_; }

    // `count` loudspeaker samples in, `count` microphone samples out; the first of them is
    // output sample `firstOutput` (an output stream may carry other samples between blocks).
    void process(const float* input, float* output, size_t count, int64_t firstOutput);

    // Seconds since the loudspeaker first sounded, or -1 before that.
    double secondsSinceOnset() const;
    bool changed() const { return changed_; }

private:
    void pushIntoLine(const float* samples, size_t count);
    float nextNoise();
    void applyChange();

    const RoomDescription room_;
    const double rate_;
    std::vector<float> clipped_;
    std::vector<float> resampled_;
    std::vector<float> line_;        // the delay line, a ring of a power-of-two size
    uint64_t lineMask_ = 0;
    uint64_t written_ = 0;           // samples pushed into the line
    int64_t echoOffset_ = 0;
    bool placed_ = false;
    double gain_ = 1.0;              // after the convolution, or all of it for a pure delay
    std::unique_ptr<PartitionedConvolver> convolver_;
    std::unique_ptr<PartitionedConvolver> changedConvolver_;
    soxr_t drift_ = nullptr;
    double driftLatency_ = 0.0;  // samples
    double clipLevel_ = 0.0;
    double noiseLevel_ = 0.0;
    uint64_t noiseState_ = 0;
    bool spareNoiseReady_ = false;
    double spareNoise_ = 0.0;
    int64_t onsetAt_ = -1;           // input sample at which the loudspeaker first sounded
    uint64_t inputSeen_ = 0;
    bool changed_ = false;
};

}  // namespace mivo::room
