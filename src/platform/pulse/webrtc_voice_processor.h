#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/pulse/voice_processor.h"

namespace webrtc {
class AudioProcessing;
}

namespace mivo::platform::pulse {

// Echo cancellation against what the engine plays, noise suppression, high-pass filter and
// digital gain control, on WebRTC AudioProcessing.
class WebRtcVoiceProcessor final : public VoiceProcessor {
public:
    struct Metrics {
        bool valid = false;
        int echoReturnLossEnhancementDb = 0;  // averaged by the canceller over its own window
        int echoReturnLossDb = 0;
        int delayMedianMs = -1;
    };

    // Null, with `error` set, when the processing cannot be set up.
    static std::unique_ptr<WebRtcVoiceProcessor> create(std::string& error);
    ~WebRtcVoiceProcessor() override;

    void analyzeRender(const float* const* channels, uint32_t channelCount) override;
    void processCapture(float* const* channels, uint32_t channelCount, int32_t delayMilliseconds,
                        bool agcEnabled) override;
    void realign() override;

    Metrics metrics();

private:
    explicit WebRtcVoiceProcessor(webrtc::AudioProcessing* processing);

    std::unique_ptr<webrtc::AudioProcessing> processing_;
    std::vector<float> scratch_;
    bool agcEnabled_ = true;
};

}  // namespace mivo::platform::pulse
