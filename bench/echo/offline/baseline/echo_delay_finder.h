// The voice processor as it was at commit dcb27c1, kept only to compare with in the offline harness.
#pragma once

#include <cstdint>
#include <vector>

#include "baseline_rates.h"

namespace mivo::offline::baseline {

// Finds how many samples after the reference its echo comes back in the capture, counting both
// in the order the frames reach the processor. Coarse (0.25 ms) and cheap: both signals are
// decimated to 4 kHz and correlated over every lag up to maxLagMs with a one-second memory.
class EchoDelayFinder {
public:
    static constexpr uint32_t decimation = 12;
    static constexpr uint32_t rate = processingRate / decimation;
    static constexpr uint32_t maxLagMs = 320;

    EchoDelayFinder();

    void addReference(const float* frame);
    void addCapture(const float* frame);
    // Forgets what was seen, after the reference stopped matching what is heard.
    void reset();
    // The lag in ms once the same clear peak has held for a while; -1 until then.
    int settledLagMs() const { return settledLag_ < 0 ? -1 : static_cast<int>(settledLag_ * 1000 / rate); }

private:
    static constexpr uint32_t frameLength = processingFrameLength / decimation;
    static constexpr uint32_t lagCount = maxLagMs * rate / 1000;
    static constexpr uint32_t historyLength = 8192;  // more than the lags plus render running ahead
    static constexpr uint32_t judgeEveryFrames = 25;
    static constexpr uint32_t watchedLags = rate * 20 / 1000;  // either side of a lag found

    void decimate(const float* frame, float& previous, float* out) const;
    void judge();
    void widen();

    std::vector<float> reference_;  // ring, indexed by reference sample number
    uint64_t referenceCount_ = 0;
    float referencePrevious_ = 0.0f;
    std::vector<float> capture_;  // the last frame
    float capturePrevious_ = 0.0f;
    uint64_t captureCount_ = 0;
    std::vector<double> correlation_;
    double captureEnergy_ = 0.0;
    double referenceEnergy_ = 0.0;
    double recentReferenceEnergy_ = 0.0;  // since the last look
    uint32_t frames_ = 0;
    int32_t candidate_ = -1;
    uint32_t agreeing_ = 0;
    uint32_t unclear_ = 0;
    int32_t settledLag_ = -1;
    // The lags correlated: all of them until one is found, then those around it.
    uint32_t searchBegin_ = 0;
    uint32_t searchEnd_ = lagCount;
};

}  // namespace mivo::offline::baseline
