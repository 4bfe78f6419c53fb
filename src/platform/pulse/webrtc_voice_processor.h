#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/pulse/echo_alignment.h"
#include "platform/pulse/reference_downsampler.h"
#include "platform/pulse/voice_processor.h"

namespace webrtc {
class AudioProcessing;
}

namespace mivo::platform::pulse {

// Echo cancellation against what the engine plays, noise suppression, high-pass filter and
// digital gain control, on WebRTC AudioProcessing at 16 kHz: the rate the host hears, so nothing
// is split into bands, and a third of the work of 48 kHz. Each capture frame is handed over right
// after the reference frame that lines its echo up (EchoAlignment), so the canceller's own
// buffering never moves the reference.
class WebRtcVoiceProcessor final : public VoiceProcessor {
public:
    struct Metrics {
        bool valid = false;
        int echoReturnLossEnhancementDb = 0;  // averaged by the canceller over its own window
        int echoReturnLossDb = 0;
        // Where the canceller's own estimate puts the echo in its filter; -1 when it has none.
        int delayMedianMs = -1;
        // The measured delay from loudspeaker to microphone, in 16 kHz samples.
        std::optional<int32_t> roomDelaySamples;
    };

    // Null, with `error` set, when the processing cannot be set up.
    static std::unique_ptr<WebRtcVoiceProcessor> create(std::string& error);
    ~WebRtcVoiceProcessor() override;

    void analyzeRender(const float* frame) override;
    void processVoice(float* frame, const CaptureTiming& timing, bool gainControl) override;
    void noteDiscontinuity(Discontinuity discontinuity) override;

    // On the thread that processes, between frames: for tests and offline runs.
    Metrics metrics();
    // How often the canceller started again after it had gone deaf.
    uint32_t restarts() const { return restarts_; }

private:
    explicit WebRtcVoiceProcessor(webrtc::AudioProcessing* processing);
    void restartCanceller();

    std::unique_ptr<webrtc::AudioProcessing> processing_;
    ReferenceDownsampler downsampler_;
    EchoAlignment alignment_;
    std::array<float, voiceFrameLength> downsampled_{};
    std::array<float, voiceFrameLength> reference_{};
    bool gainControl_ = true;
    bool gentleSuppression_ = true;
    uint32_t framesSinceTalk_ = 0;
    uint32_t deafFrames_ = 0;
    uint32_t restarts_ = 0;
};

}  // namespace mivo::platform::pulse
