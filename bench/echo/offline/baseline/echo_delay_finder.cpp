#include "echo_delay_finder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace mivo::offline::baseline {

EchoDelayFinder::EchoDelayFinder()
    : reference_(historyLength, 0.0f), capture_(frameLength, 0.0f), correlation_(lagCount, 0.0) {}

void EchoDelayFinder::decimate(const float* frame, float& previous, float* out) const {
    // Block sums make a coarse low-pass; their first difference whitens speech a little, so that
    // the correlation peaks at the echo's lag rather than spreading over a pitch period.
    for (uint32_t i = 0; i < frameLength; ++i) {
        float sum = 0.0f;
        for (uint32_t k = 0; k < decimation; ++k) sum += frame[i * decimation + k];
        out[i] = sum - previous;
        previous = sum;
    }
}

void EchoDelayFinder::addReference(const float* frame) {
    float decimated[frameLength];
    decimate(frame, referencePrevious_, decimated);
    for (uint32_t i = 0; i < frameLength; ++i) {
        reference_[(referenceCount_ + i) % historyLength] = decimated[i];
        referenceEnergy_ += double{decimated[i]} * decimated[i];
        recentReferenceEnergy_ += double{decimated[i]} * decimated[i];
    }
    referenceCount_ += frameLength;
}

void EchoDelayFinder::addCapture(const float* frame) {
    decimate(frame, capturePrevious_, capture_.data());
    constexpr double memory = 0.99;  // per 10 ms: about a second
    double energy = 0.0;
    for (float v : capture_) energy += double{v} * v;
    captureEnergy_ = captureEnergy_ * memory + energy;
    referenceEnergy_ *= memory;
    const uint64_t first = captureCount_;
    for (uint32_t lag = searchBegin_; lag < searchEnd_; ++lag) {
        double sum = 0.0;
        // Capture sample n is compared with reference sample n - lag, when there is one.
        if (first >= lag && first - lag + frameLength <= referenceCount_ &&
            referenceCount_ - (first - lag) <= historyLength) {
            const uint64_t start = first - lag;
            for (uint32_t i = 0; i < frameLength; ++i) {
                sum += double{capture_[i]} * reference_[(start + i) % historyLength];
            }
        }
        correlation_[lag] = correlation_[lag] * memory + sum;
    }
    captureCount_ += frameLength;
    if (++frames_ % judgeEveryFrames == 0) judge();
}

void EchoDelayFinder::judge() {
    uint32_t best = searchBegin_;
    for (uint32_t lag = searchBegin_ + 1; lag < searchEnd_; ++lag) {
        if (std::fabs(correlation_[lag]) > std::fabs(correlation_[best])) best = lag;
    }
    const double scale = std::sqrt(captureEnergy_ * referenceEnergy_);
    const double strength = scale > 1e-12 ? std::fabs(correlation_[best]) / scale : 0.0;
    const bool narrowed = searchEnd_ - searchBegin_ < lagCount;
    // Above about -60 dBFS over the last look.
    const bool farEndPlaying = recentReferenceEnergy_ > 0.05;
    recentReferenceEnergy_ = 0.0;
    if (strength < 0.3) {
        // Nothing clear: no far end, or it is not heard. Keep what was found before; but if the
        // far end plays and its echo is not among the watched lags for a while, look at them all.
        agreeing_ = 0;
        if (narrowed && farEndPlaying && ++unclear_ >= 8) widen();
        return;
    }
    unclear_ = 0;
    constexpr int32_t tolerance = static_cast<int32_t>(rate / 1000);  // 1 ms
    if (candidate_ >= 0 && std::abs(static_cast<int32_t>(best) - candidate_) <= tolerance) {
        ++agreeing_;
    } else {
        candidate_ = static_cast<int32_t>(best);
        agreeing_ = 0;
    }
    // Three agreeing looks over 3/4 s: the echo of talk, not a chance match.
    if (agreeing_ < 2) return;
    const bool atEdge = (searchBegin_ > 0 && best < searchBegin_ + tolerance) ||
                        (searchEnd_ < lagCount && best + tolerance >= searchEnd_);
    if (narrowed && atEdge) {
        // The echo is moving out of the watched lags: search them all again.
        widen();
        return;
    }
    settledLag_ = static_cast<int32_t>(best);
    if (!narrowed) {
        // Once found, only the lags around it are followed, which costs a tenth as much.
        searchBegin_ = best > watchedLags ? best - watchedLags : 0;
        searchEnd_ = std::min(lagCount, best + watchedLags + 1);
    }
}

void EchoDelayFinder::widen() {
    // Lags outside the watched ones were not kept up: start them all from nothing.
    std::fill(correlation_.begin(), correlation_.end(), 0.0);
    searchBegin_ = 0;
    searchEnd_ = lagCount;
    candidate_ = -1;
    agreeing_ = 0;
    unclear_ = 0;
}

void EchoDelayFinder::reset() {
    widen();
    captureEnergy_ = 0.0;
    referenceEnergy_ = 0.0;
    recentReferenceEnergy_ = 0.0;
    settledLag_ = -1;
}

}  // namespace mivo::offline::baseline
