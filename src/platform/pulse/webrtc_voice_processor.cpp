#include "platform/pulse/webrtc_voice_processor.h"

#include <algorithm>
#include <cmath>

#include "platform/pulse/webrtc_config_keys.h"

namespace mivo::platform::pulse {

namespace {

// A gain that follows the talker up by the default 9 dB also lifts what is left of the echo; a
// small one keeps it a leveller.
constexpr int compressionGainDb = 3;
// The suppressor is gentle while someone talks in the room, so that double talk keeps the near
// end; with only the echo to take (the far end alone) it may take more, which a loudspeaker that
// distorts needs. Someone is talking while the processed voice had speech this recently.
constexpr uint32_t talkHangoverFrames = 30;

const webrtc::StreamConfig voiceStream(static_cast<int>(voiceRate), 1, false);

// Far beyond any microphone's full scale (1): a sample like this, or one that is not a number,
// is the device's garbage, and its energy would stay in the delay finder's and the canceller's
// sums for good.
constexpr float saneLimit = 16.0f;

// A canceller whose state took in a value that is not a number puts out exact silence from then
// on, the talker too (seen once in a live session with a full-level echo; where the value came
// from was not found). A healthy one passes a talker through once the far end was quiet this long...
constexpr uint32_t quietFarEndFrames = 50;
// ... and never silences all of them for this long: it starts again then.
constexpr uint32_t deafLimitFrames = 20;
// A talker in the microphone: -50 dBFS mean square.
constexpr double talkerMeanSquare = 1e-5;

// Returns the frame's mean square, once it is sane.
double keepSaneSamples(float* frame) {
    double sum = 0.0;
    for (uint32_t i = 0; i < voiceFrameLength; ++i) {
        if (std::isnan(frame[i])) frame[i] = 0.0f;
        frame[i] = std::clamp(frame[i], -saneLimit, saneLimit);
        sum += double{frame[i]} * frame[i];
    }
    return sum / voiceFrameLength;
}

}  // namespace

std::unique_ptr<WebRtcVoiceProcessor> WebRtcVoiceProcessor::create(std::string& error) {
    webrtc::Config config;
    // The alignment is ours: the canceller must not move the reference by its own estimate. Its
    // standard filter (48 ms at 16 kHz) takes the direct path and the early room; its suppressor
    // takes the tail, and is gentler to the near-end talker than the extended filter's.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(false));
    // The experimental gain control steers a microphone volume and raises its digital gain over
    // the residual echo; the plain digital one is the leveller wanted.
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    webrtc::AudioProcessing* processing = webrtc::AudioProcessing::Create(config);
    if (!processing) {
        error = "Unable to create the echo canceller";
        return nullptr;
    }
    std::unique_ptr<WebRtcVoiceProcessor> processor(new WebRtcVoiceProcessor(processing));

    const webrtc::ProcessingConfig streams = {{voiceStream, voiceStream, voiceStream, voiceStream}};
    webrtc::EchoCancellation* echo = processing->echo_cancellation();
    webrtc::GainControl* gain = processing->gain_control();
    webrtc::NoiseSuppression* noise = processing->noise_suppression();
    // Low echo suppression: with the echo lined up the linear filter removes most of it, and a
    // stronger suppressor takes the near-end talker away during double talk. Strong noise
    // suppression takes what the filter leaves between the talker's words.
    // Everything is set up here, gain control included, so that nothing is created on the audio
    // thread later.
    const bool configured =
        processing->Initialize(streams) == webrtc::AudioProcessing::kNoError && echo->Enable(true) == 0 &&
        echo->set_suppression_level(webrtc::EchoCancellation::kLowSuppression) == 0 &&
        echo->enable_metrics(true) == 0 && echo->enable_delay_logging(true) == 0 &&
        noise->set_level(webrtc::NoiseSuppression::kHigh) == 0 && noise->Enable(true) == 0 &&
        processing->high_pass_filter()->Enable(true) == 0 && processing->voice_detection()->Enable(true) == 0 &&
        gain->set_mode(webrtc::GainControl::kAdaptiveDigital) == 0 &&
        gain->set_compression_gain_db(compressionGainDb) == 0 && gain->enable_limiter(true) == 0 &&
        gain->Enable(true) == 0;
    if (!configured) {
        error = "Unable to configure the echo canceller";
        return nullptr;
    }
    return processor;
}

WebRtcVoiceProcessor::WebRtcVoiceProcessor(webrtc::AudioProcessing* processing) : processing_(processing) {}

WebRtcVoiceProcessor::~WebRtcVoiceProcessor() = default;

void WebRtcVoiceProcessor::analyzeRender(const float* frame) {
    downsampler_.process(frame, downsampled_.data());
    alignment_.addRender(downsampled_.data(), ReferenceDownsampler::delay);
}

void WebRtcVoiceProcessor::processVoice(float* frame, const CaptureTiming& timing, bool gainControl) {
    const bool talkerHeard = keepSaneSamples(frame) > talkerMeanSquare;
    if (gainControl != gainControl_) {
        // Its state was made at creation: switching it back on sets it up again, allocating nothing.
        processing_->gain_control()->Enable(gainControl);
        gainControl_ = gainControl;
    }
    const float* reference = alignment_.referenceFor(frame, timing);
    std::copy(reference, reference + voiceFrameLength, reference_.begin());
    const float* referenceIn[] = {reference_.data()};
    float* referenceOut[] = {reference_.data()};
    processing_->ProcessReverseStream(referenceIn, voiceStream, voiceStream, referenceOut);
    // The reference handed over just now is the one lined up with this frame.
    processing_->set_stream_delay_ms(0);
    const bool talk = framesSinceTalk_ < talkHangoverFrames;
    if (talk != gentleSuppression_) {
        // Only the suppressor's setting changes: nothing is made or reset but the canceller's metrics.
        processing_->echo_cancellation()->set_suppression_level(talk ? webrtc::EchoCancellation::kLowSuppression
                                                                     : webrtc::EchoCancellation::kModerateSuppression);
        gentleSuppression_ = talk;
    }
    float* channels[] = {frame};
    processing_->ProcessStream(channels, voiceStream, voiceStream, channels);
    const bool deaf = talkerHeard && alignment_.framesSinceFarEnd() >= quietFarEndFrames &&
                      std::all_of(frame, frame + voiceFrameLength, [](float v) { return v == 0.0f; });
    deafFrames_ = deaf ? deafFrames_ + 1 : 0;
    if (deafFrames_ >= deafLimitFrames) restartCanceller();
    framesSinceTalk_ = processing_->voice_detection()->stream_has_voice() ? 0 : std::min(framesSinceTalk_ + 1, talkHangoverFrames);
}

// From the handles made at creation: nothing is allocated. The noise suppressor after it took in
// what the canceller put out.
void WebRtcVoiceProcessor::restartCanceller() {
    processing_->echo_cancellation()->Enable(false);
    processing_->echo_cancellation()->Enable(true);
    processing_->noise_suppression()->Enable(false);
    processing_->noise_suppression()->Enable(true);
    deafFrames_ = 0;
    ++restarts_;
}

void WebRtcVoiceProcessor::noteDiscontinuity(Discontinuity discontinuity) {
    alignment_.noteDiscontinuity(discontinuity);
}

WebRtcVoiceProcessor::Metrics WebRtcVoiceProcessor::metrics() {
    Metrics result;
    webrtc::EchoCancellation::Metrics metrics;
    if (processing_->echo_cancellation()->GetMetrics(&metrics) == 0) {
        result.valid = true;
        result.echoReturnLossEnhancementDb = metrics.echo_return_loss_enhancement.average;
        result.echoReturnLossDb = metrics.echo_return_loss.average;
    }
    int median = -1;
    int deviation = 0;
    float poorFraction = 0.0f;
    if (processing_->echo_cancellation()->GetDelayMetrics(&median, &deviation, &poorFraction) == 0) {
        result.delayMedianMs = median;
    }
    result.roomDelaySamples = alignment_.roomDelay();
    return result;
}

}  // namespace mivo::platform::pulse
