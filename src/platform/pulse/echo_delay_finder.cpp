#include "platform/pulse/echo_delay_finder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace mivo::platform::pulse {

namespace {

// Per 10 ms: a memory of about a second, long enough to average over syllables and short enough
// to follow an echo that moves.
constexpr float memory = 0.99f;
// Below this normalised correlation nothing clear is heard: no far end, or it is not heard.
constexpr double clearEnough = 0.2;
// An earlier arrival at least this share of the strongest is taken for the first arrival.
constexpr float arrivalShare = 0.2f;
// The strongest arrivals taken apart: the direct path, a few reflections.
constexpr uint32_t arrivalsTaken = 5;
// How much of its ghost a drifting arrival may leave, as a share of the reference's own
// correlation there (offline, the drift rooms did as well with 1 as with 2, 3 or 4).
constexpr float ghostDoubt = 2.0f;
// An echo that moved this many samples over the correlations' memory is spread by it.
constexpr float movedSamples = 2.0f;
// The most the fine stage moves the lag in one look without a second look agreeing, in samples.
constexpr double maxDriftStep = 2.0;
// An arrival once found is kept while it is at least this share of the strongest.
constexpr double keepShare = 0.25;

// Pushes `count` new samples into a reversed history (newest first), after whitening them with a
// first difference so that speech correlates in a narrow peak rather than over a pitch period.
void pushReversed(std::vector<float>& history, const float* samples, uint32_t count, float& previous) {
    std::copy_backward(history.begin(), history.end() - count, history.end());
    for (uint32_t i = 0; i < count; ++i) {
        history[count - 1 - i] = samples[i] - previous;
        previous = samples[i];
    }
}

// Correlation of each lag in [first, first + correlation.size()) with the newest `count`
// captured samples (newest first in `capture`), added on.
void accumulate(std::vector<float>& correlation, const std::vector<float>& reference, const float* capture,
                uint32_t count, uint32_t first) {
    const size_t lags = correlation.size();
    for (uint32_t k = 0; k < count; ++k) {
        // Capture sample k before the newest meets reference sample k + lag before the newest.
        const float c = capture[k];
        const float* run = reference.data() + k + first;
        float* out = correlation.data();
        for (size_t lag = 0; lag < lags; ++lag) out[lag] += c * run[lag];
    }
}

double energyOf(const float* samples, uint32_t count) {
    double sum = 0.0;
    for (uint32_t i = 0; i < count; ++i) sum += double{samples[i]} * samples[i];
    return sum;
}

// The largest magnitude's index.
size_t peakOf(const std::vector<float>& values) {
    size_t best = 0;
    for (size_t i = 1; i < values.size(); ++i) {
        if (std::fabs(values[i]) > std::fabs(values[best])) best = i;
    }
    return best;
}

}  // namespace

EchoDelayFinder::EchoDelayFinder()
    : coarseReference_(coarseLags + spreadLags + coarseFrame, 0.0f),
      fineReference_(maxLag + fineHalfWidth + voiceFrameLength + 1, 0.0f),
      coarseCapture_(coarseFrame, 0.0f),
      fineCapture_(voiceFrameLength, 0.0f),
      coarseCorrelation_(coarseLags, 0.0f),
      autocorrelation_(spreadLags, 0.0f),
      residual_(coarseLags, 0.0f),
      previousCorrelation_(coarseLags, 0.0f),
      fineCorrelation_(fineLags, 0.0f) {}

void EchoDelayFinder::add(const float* reference, const float* capture) {
    float coarse[coarseFrame];
    float coarseIn[coarseFrame];
    for (uint32_t i = 0; i < coarseFrame; ++i) {
        float r = 0.0f;
        float c = 0.0f;
        for (uint32_t k = 0; k < coarseFactor; ++k) {
            r += reference[i * coarseFactor + k];
            c += capture[i * coarseFactor + k];
        }
        coarse[i] = r;
        coarseIn[i] = c;
    }
    pushReversed(coarseReference_, coarse, coarseFrame, coarseReferencePrevious_);
    pushReversed(coarseCapture_, coarseIn, coarseFrame, coarseCapturePrevious_);
    pushReversed(fineReference_, reference, voiceFrameLength, fineReferencePrevious_);
    pushReversed(fineCapture_, capture, voiceFrameLength, fineCapturePrevious_);

    const double referenceEnergy = energyOf(reference, voiceFrameLength);
    framesSinceReference_ = referenceEnergy > 1e-9 ? 0 : std::min(framesSinceReference_ + 1, 1u << 30);
    if (framesSinceReference_ == 0) framesHeard_ = std::min(framesHeard_ + 1, 1u << 30);
    for (float& v : coarseCorrelation_) v *= memory;
    for (float& v : autocorrelation_) v *= memory;
    for (float& v : fineCorrelation_) v *= memory;
    // Faded as what the correlations gathered: how far the echo moved while they gathered it.
    recentMove_ *= memory;
    coarseCaptureEnergy_ = coarseCaptureEnergy_ * memory + energyOf(coarseCapture_.data(), coarseFrame);
    coarseReferenceEnergy_ = coarseReferenceEnergy_ * memory + energyOf(coarseReference_.data(), coarseFrame);
    fineCaptureEnergy_ = fineCaptureEnergy_ * memory + energyOf(fineCapture_.data(), voiceFrameLength);
    fineReferenceEnergy_ = fineReferenceEnergy_ * memory + energyOf(fineReference_.data(), voiceFrameLength);
    // Without any sound in the reference over every lag there is nothing to correlate.
    if (framesSinceReference_ <= maxLagMs / 10 + 1) {
        accumulate(coarseCorrelation_, coarseReference_, coarseCapture_.data(), coarseFrame, 0);
        // Over the same stretch of the reference as the strongest arrival's correlation: speech
        // changes its pitch from one syllable to the next.
        accumulate(autocorrelation_, coarseReference_, coarseReference_.data() + peakLag_, coarseFrame, peakLag_);
        if (fineCentre_ >= 0) {
            accumulate(fineCorrelation_, fineReference_, fineCapture_.data(), voiceFrameLength,
                       static_cast<uint32_t>(fineCentre_) - fineHalfWidth);
        }
    }
    ++frames_;
    // Right after a discontinuity it looks twice as often, to place a moved echo sooner.
    const uint32_t every = hurried_ > 0 ? judgeEveryFrames / 2 : judgeEveryFrames;
    if (hurried_ > 0) --hurried_;
    if (++framesSinceLook_ < every || framesSinceReference_ > judgeEveryFrames) return;
    judgeCoarse();
    if (fineCentre_ >= 0) judgeFine();
    std::copy(coarseCorrelation_.begin(), coarseCorrelation_.end(), previousCorrelation_.begin());
    previousCaptureEnergy_ = coarseCaptureEnergy_;
    previousReferenceEnergy_ = coarseReferenceEnergy_;
    framesSinceLook_ = 0;
}

void EchoDelayFinder::judgeCoarse() {
    const size_t peak = peakOf(coarseCorrelation_);
    peakLag_ = static_cast<uint32_t>(peak);
    const double scale = std::sqrt(coarseCaptureEnergy_ * coarseReferenceEnergy_);
    const double strongest = std::fabs(coarseCorrelation_[peak]);
    if (scale <= 1e-12 || strongest / scale < clearEnough) {
        agreeing_ = 0;
        return;
    }
    if (pathChanged()) return;
    const auto clarity = static_cast<float>(strongest / scale);
    // Until the reference's own correlation is known (a second of talk since the finder last
    // forgot), arrivals cannot be told apart: the strongest is used meanwhile, so that the
    // canceller can start, or follow an echo that moved.
    if (provisional_ && framesHeard_ < 100) {
        agreeOn(static_cast<int32_t>(peak));
        const bool elsewhere = lag_ < 0 || std::abs(candidate_ - lag_ / static_cast<int32_t>(coarseFactor)) > tolerance;
        if (agreeing_ >= 2 && elsewhere && framesHeard_ >= 25) settle(candidate_, clarity);
        return;
    }
    const int32_t first = firstArrival();
    const int32_t settled = lag_ / static_cast<int32_t>(coarseFactor);
    const bool heard = lag_ >= 0 && stillHeard(settled, strongest);
    if (heard && !provisional_ && first >= settled - tolerance) {
        // The echo found before is still there and nothing comes before it: a peak elsewhere is
        // the room's, or talk.
        candidate_ = -1;
        agreeing_ = 0;
        return;
    }
    agreeOn(first);
    // Three agreeing looks over 3/4 s: the echo of talk, not a chance match. Moving before an
    // echo that is still heard (a weak direct path, clear only once more was gathered) takes six;
    // half a second of talk must have been heard since the finder last forgot.
    const bool earlierThanHeard = heard && !provisional_ && candidate_ < settled - tolerance;
    if (agreeing_ < (earlierThanHeard ? 5u : 2u) || framesHeard_ < (hurried_ > 0 ? 25u : 50u)) return;
    settle(candidate_, clarity);
    provisional_ = false;
}

bool EchoDelayFinder::pathChanged() {
    if (lag_ < 0 || forgotten_) return false;
    fadedLooks_ = lastLookLostEcho() ? fadedLooks_ + 1 : 0;
    if (fadedLooks_ < 2) return false;
    // The echo path changed: what was gathered of the old one would hold the finder there for
    // seconds. The lag in use stays until the new one has been found.
    hurry();
    return true;
}

void EchoDelayFinder::agreeOn(int32_t coarseLag) {
    if (candidate_ >= 0 && std::abs(coarseLag - candidate_) <= tolerance) {
        ++agreeing_;
    } else {
        candidate_ = coarseLag;
        agreeing_ = 0;
    }
}

void EchoDelayFinder::settle(int32_t coarseLag, float clarity) {
    forgotten_ = false;
    const int32_t lag = coarseLag * static_cast<int32_t>(coarseFactor);
    // Close to where the fine stage looks already, it places the echo itself.
    if (fineCentre_ < 0 || std::abs(lag - fineCentre_) > static_cast<int32_t>(fineHalfWidth) - 4) {
        centreFine(lag);
        lag_ = lag;
        clarity_ = clarity;
    }
}

int32_t EchoDelayFinder::firstArrival() {
    // The correlation is the room's arrivals, each spread by the reference's own correlation:
    // voiced speech repeats every pitch period, so a strong arrival has ghosts that far before
    // and after it. Taking the strongest arrivals out one by one, each with its spread, leaves
    // the weaker ones, and the earliest of those that is not small is where the echo starts.
    std::copy(coarseCorrelation_.begin(), coarseCorrelation_.end(), residual_.begin());
    const float zero = autocorrelation_[0];
    auto first = static_cast<int32_t>(peakOf(residual_));
    if (zero <= 0.0f) return first;
    float strongest = 0.0f;
    // The strongest arrival, when it falls between two coarse lags, peaks at both and is taken out
    // in two goes: the second go does not count as another arrival, or a weak direct path behind
    // a strong reflection and a few others is found in some looks only.
    int32_t strongestAt = -1;
    bool splitTaken = false;
    // A still echo's weak direct path may sit a few pitch periods before its strongest arrival.
    const float doubt = std::fabs(recentMove_) >= movedSamples ? ghostDoubt : 0.0f;
    uint32_t arrivals = 0;
    for (uint32_t peel = 0; peel <= arrivalsTaken && arrivals < arrivalsTaken; ++peel) {
        const auto at = static_cast<int32_t>(peakOf(residual_));
        const float amplitude = residual_[static_cast<size_t>(at)] / zero;
        if (peel == 0) strongest = amplitude, strongestAt = at;
        if (std::fabs(amplitude) < arrivalShare * std::fabs(strongest)) break;
        // Where the reference repeats itself (a pitch period away), taking out a strongest arrival
        // that moved while it was gathered, and so spread over neighbouring lags, leaves some of
        // its ghost: an arrival there must stand out from that.
        const auto apart = static_cast<size_t>(std::abs(at - strongestAt));
        const float ghost = apart < spreadLags ? std::fabs(autocorrelation_[apart] / zero) : 0.0f;
        if (std::fabs(amplitude) >= (arrivalShare + doubt * ghost) * std::fabs(strongest)) first = std::min(first, at);
        const bool split = !splitTaken && peel > 0 && std::abs(at - strongestAt) == 1 &&
                           (amplitude > 0.0f) == (strongest > 0.0f);
        splitTaken = splitTaken || split;
        if (!split) ++arrivals;
        const int32_t from = std::max(at - static_cast<int32_t>(spreadLags) + 1, 0);
        const int32_t to = std::min(at + static_cast<int32_t>(spreadLags), static_cast<int32_t>(coarseLags));
        for (int32_t lag = from; lag < to; ++lag) {
            residual_[static_cast<size_t>(lag)] -= amplitude * autocorrelation_[static_cast<size_t>(std::abs(lag - at))];
        }
    }
    return first;
}

bool EchoDelayFinder::lastLookLostEcho() const {
    // What the correlation gathered since the previous look alone: the older part decayed away.
    const auto decay = static_cast<float>(std::pow(memory, framesSinceLook_));
    const auto settled = lag_ / static_cast<int32_t>(coarseFactor);
    float strongest = 0.0f;
    int32_t strongestLag = 0;
    float atSettled = 0.0f;
    for (int32_t lag = 0; lag < static_cast<int32_t>(coarseLags); ++lag) {
        const auto k = static_cast<size_t>(lag);
        const float recent = std::fabs(coarseCorrelation_[k] - decay * previousCorrelation_[k]);
        if (recent > strongest) strongest = recent, strongestLag = lag;
        if (std::abs(lag - settled) <= tolerance) atSettled = std::max(atSettled, recent);
    }
    const double capture = coarseCaptureEnergy_ - decay * previousCaptureEnergy_;
    const double reference = coarseReferenceEnergy_ - decay * previousReferenceEnergy_;
    const double scale = std::sqrt(std::max(capture, 0.0) * std::max(reference, 0.0));
    const bool clear = scale > 1e-12 && strongest / scale >= clearEnough;
    return clear && std::abs(strongestLag - settled) > tolerance && atSettled < arrivalShare * strongest;
}

bool EchoDelayFinder::stillHeard(int32_t coarseLag, double strongest) const {
    float height = 0.0f;
    for (int32_t k = std::max(coarseLag - tolerance, 0); k <= coarseLag + tolerance && k < static_cast<int32_t>(coarseLags); ++k) {
        height = std::max(height, std::fabs(coarseCorrelation_[static_cast<size_t>(k)]));
    }
    return height >= keepShare * strongest;
}

void EchoDelayFinder::judgeFine() {
    const size_t peak = peakOf(fineCorrelation_);
    const double scale = std::sqrt(fineCaptureEnergy_ * fineReferenceEnergy_);
    const double strongest = std::fabs(fineCorrelation_[peak]);
    if (scale <= 1e-12 || strongest / scale < clearEnough) return;
    double offset = 0.0;
    if (peak > 0 && peak + 1 < fineLags) {
        // A parabola through the peak and its neighbours places it between samples.
        const double before = std::fabs(fineCorrelation_[peak - 1]);
        const double after = std::fabs(fineCorrelation_[peak + 1]);
        const double curve = before - 2.0 * strongest + after;
        if (curve < 0.0) offset = 0.5 * (before - after) / curve;
    }
    const double found = fineCentre_ - static_cast<int32_t>(fineHalfWidth) + static_cast<double>(peak) + offset;
    clarity_ = static_cast<float>(strongest / scale);
    // Whole samples, and only once the echo is clearly nearer the next one: no flutter. Drift
    // moves the echo a sample at a time; a jump of more must hold for a second look, as right
    // after a discontinuity the memory mixes what came before and after it.
    const double move = std::fabs(found - lag_);
    const int32_t before = lag_;
    if (lag_ < 0 || (move > 0.75 && move <= maxDriftStep)) {
        lag_ = static_cast<int32_t>(std::lround(found));
    } else if (move > maxDriftStep) {
        if (std::fabs(found - pendingFineLag_) <= 1.0) lag_ = static_cast<int32_t>(std::lround(found));
        pendingFineLag_ = found;
    }
    if (before >= 0) recentMove_ += static_cast<float>(lag_ - before);
    // Keep the echo in the middle of the watched lags as it drifts.
    if (std::abs(static_cast<int32_t>(peak) - static_cast<int32_t>(fineHalfWidth)) > static_cast<int32_t>(fineHalfWidth) / 2) {
        centreFine(lag_);
    }
}

void EchoDelayFinder::centreFine(int32_t lag) {
    const int32_t centre = std::clamp<int32_t>(lag, fineHalfWidth, maxLag);
    if (fineCentre_ >= 0 && std::abs(centre - fineCentre_) < static_cast<int32_t>(fineLags)) {
        // Lags watched before and after keep what they gathered.
        const int32_t shift = centre - fineCentre_;
        std::vector<float>& c = fineCorrelation_;
        if (shift > 0) {
            std::copy(c.begin() + shift, c.end(), c.begin());
            std::fill(c.end() - shift, c.end(), 0.0f);
        } else if (shift < 0) {
            std::copy_backward(c.begin(), c.end() + shift, c.end());
            std::fill(c.begin(), c.begin() - shift, 0.0f);
        }
    } else {
        std::fill(fineCorrelation_.begin(), fineCorrelation_.end(), 0.0f);
    }
    fineCentre_ = centre;
}

void EchoDelayFinder::forgetGathered() {
    std::fill(coarseCorrelation_.begin(), coarseCorrelation_.end(), 0.0f);
    std::fill(autocorrelation_.begin(), autocorrelation_.end(), 0.0f);
    std::fill(fineCorrelation_.begin(), fineCorrelation_.end(), 0.0f);
    coarseCaptureEnergy_ = coarseReferenceEnergy_ = 0.0;
    fineCaptureEnergy_ = fineReferenceEnergy_ = 0.0;
    candidate_ = -1;
    agreeing_ = 0;
    fadedLooks_ = 0;
    // What was gathered while the echo moved is gone, and with it the smear.
    recentMove_ = 0.0f;
    framesHeard_ = 0;
    forgotten_ = true;
    provisional_ = true;
}

void EchoDelayFinder::hurry() {
    forgetGathered();
    hurried_ = hurriedFrames;
}

void EchoDelayFinder::reset() {
    forgetGathered();
    forgotten_ = false;
    hurried_ = 0;
    peakLag_ = 0;
    fineCentre_ = -1;
    pendingFineLag_ = -1000.0;
    lag_ = -1;
    clarity_ = 0.0f;
}

}  // namespace mivo::platform::pulse
