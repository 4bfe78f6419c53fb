// The voice processor as it was at commit dcb27c1, kept only to compare with in the offline harness.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "echo_delay_finder.h"
#include "baseline_rates.h"

namespace webrtc {
class AudioProcessing;
}

namespace mivo::offline::baseline {

// Echo cancellation against what the engine plays, noise suppression, high-pass filter and
// digital gain control, on WebRTC AudioProcessing.
class WebRtcVoiceProcessor final {
public:
    struct Metrics {
        bool valid = false;
        int echoReturnLossEnhancementDb = 0;  // averaged by the canceller over its own window
        int echoReturnLossDb = 0;
        int delayMedianMs = -1;
    };

    // Null, with `error` set, when the processing cannot be set up.
    static std::unique_ptr<WebRtcVoiceProcessor> create(std::string& error);
    ~WebRtcVoiceProcessor();

    void analyzeRender(const float* const* channels, uint32_t channelCount);
    void processCapture(float* const* channels, uint32_t channelCount, int32_t delayMilliseconds,
                        bool agcEnabled);
    void realign();

    Metrics metrics();
    // For the harness's notes: how often it started the canceller again, where it put the echo,
    // the lag its finder reports, and the canceller's internal reference buffer.
    int restarts() const { return restarts_; }
    int32_t placementMs() const { return placementMs_; }
    int echoLagMs() const { return delayFinder_.settledLagMs(); }
    int bufferedReference();

private:
    explicit WebRtcVoiceProcessor(webrtc::AudioProcessing* processing);
    void restartCanceller();

    std::unique_ptr<webrtc::AudioProcessing> processing_;
    std::vector<float> scratch_;
    bool agcEnabled_ = true;
    EchoDelayFinder delayFinder_;
    uint64_t renderedFrames_ = 0;
    uint64_t capturedFrames_ = 0;
    // The canceller lines up with the delay given on its first capture frame after a reference
    // frame; until then a (re)start is pending.
    bool startPending_ = true;
    bool renderSinceStart_ = false;
    // Where that start put the reference: the echo lands this many ms plus the lag into the filter.
    static constexpr int32_t unknownPlacement = -1000000;
    int32_t placementMs_ = unknownPlacement;
    // Set by a discontinuity: where the echo sat before it, to compare with the next measurement.
    bool recheckPlacement_ = false;
    int32_t placedAtRecheck_ = 0;
    int restarts_ = 0;
};

}  // namespace mivo::offline::baseline
