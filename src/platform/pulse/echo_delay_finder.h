#pragma once

#include <cstdint>
#include <vector>

#include "platform/pulse/frame_format.h"

namespace mivo::platform::pulse {

// Finds how many samples after the reference its echo begins in the capture, and follows it as it
// moves. Both come in 16 kHz frames, one of each per capture frame. Two stages: at 4 kHz every lag
// up to maxLagMs is correlated (with a memory of about a second) to find the echo's first arrival,
// which in a reverberant room need not be its strongest; at 16 kHz the lags right around it are
// correlated to place it to the sample and to follow slow drift.
class EchoDelayFinder {
public:
    static constexpr uint32_t maxLagMs = 400;

    EchoDelayFinder();

    void add(const float* reference, const float* capture);
    // The echo's first arrival in 16 kHz samples once it has held for a while; -1 until then.
    int32_t echoLag() const { return lag_; }
    // How clearly the capture repeats the reference at that lag (normalised correlation, 0..1).
    float clarity() const { return clarity_; }
    // Frames since the reference last had sound.
    uint32_t framesSinceReference() const { return framesSinceReference_; }
    void reset();
    // Forgets what was gathered but keeps the lag until the echo is found again: after the
    // reference was moved by an estimate, what came before and after no longer line up alike.
    void forgetGathered();
    // The same, and then looks more often for a while: the echo may have moved at a discontinuity.
    void hurry();

private:
    static constexpr uint32_t coarseFactor = 4;
    static constexpr uint32_t coarseFrame = voiceFrameLength / coarseFactor;
    static constexpr uint32_t coarseLags = maxLagMs * voiceRate / 1000 / coarseFactor;
    static constexpr uint32_t fineHalfWidth = 24;
    static constexpr uint32_t fineLags = 2 * fineHalfWidth + 1;
    static constexpr uint32_t maxLag = maxLagMs * voiceRate / 1000;
    static constexpr uint32_t judgeEveryFrames = 25;
    static constexpr uint32_t hurriedFrames = 200;
    static constexpr int32_t tolerance = voiceRate / 1000 / coarseFactor;  // 1 ms, in coarse lags
    // How far the reference's own correlation is followed: several pitch periods.
    static constexpr uint32_t spreadLags = 60 * voiceRate / 1000 / coarseFactor;

    void judgeCoarse();
    bool pathChanged();
    void agreeOn(int32_t coarseLag);
    void settle(int32_t coarseLag, float clarity);
    int32_t firstArrival();
    void judgeFine();
    void centreFine(int32_t lag);
    bool stillHeard(int32_t coarseLag, double strongest) const;
    bool lastLookLostEcho() const;

    // Reversed histories: element k is the sample k before the newest, so that every lag of one
    // capture sample is a contiguous run.
    std::vector<float> coarseReference_;
    std::vector<float> fineReference_;
    std::vector<float> coarseCapture_;
    std::vector<float> fineCapture_;
    std::vector<float> coarseCorrelation_;
    std::vector<float> autocorrelation_;  // of the reference, at the coarse lags up to spreadLags
    std::vector<float> residual_;
    // The coarse correlation and energies at the previous look, to see what the last one added.
    std::vector<float> previousCorrelation_;
    double previousCaptureEnergy_ = 0.0;
    double previousReferenceEnergy_ = 0.0;
    uint32_t framesSinceLook_ = 0;
    uint32_t fadedLooks_ = 0;
    bool forgotten_ = false;  // the old echo path was forgotten and no new one is found yet
    // Too little gathered to tell arrivals apart: the strongest is followed.
    bool provisional_ = true;
    std::vector<float> fineCorrelation_;
    float coarseReferencePrevious_ = 0.0f;
    float coarseCapturePrevious_ = 0.0f;
    float fineReferencePrevious_ = 0.0f;
    float fineCapturePrevious_ = 0.0f;
    double coarseCaptureEnergy_ = 0.0;
    double coarseReferenceEnergy_ = 0.0;
    double fineCaptureEnergy_ = 0.0;
    double fineReferenceEnergy_ = 0.0;
    uint32_t framesSinceReference_ = 1u << 30;  // frames since the reference last had sound
    uint32_t framesHeard_ = 0;  // frames with sound in the reference since it was last forgotten
    uint32_t frames_ = 0;
    uint32_t hurried_ = 0;  // frames left of looking more often
    uint32_t peakLag_ = 0;    // the strongest arrival at the last look, in coarse lags
    int32_t candidate_ = -1;  // in coarse lags
    uint32_t agreeing_ = 0;
    int32_t fineCentre_ = -1;  // in 16 kHz samples; -1 while the fine stage is idle
    double pendingFineLag_ = -1000.0;  // a bigger move seen once, waiting for a second look
    float recentMove_ = 0.0f;  // samples the fine stage moved the lag, fading with the memory
    int32_t lag_ = -1;
    float clarity_ = 0.0f;
};

}  // namespace mivo::platform::pulse
