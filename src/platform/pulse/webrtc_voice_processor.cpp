#include "platform/pulse/webrtc_voice_processor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>

namespace mivo::platform::pulse {

namespace {

// A hint only: with delay-agnostic mode the canceller searches for the delay itself.
constexpr int maximumDelayHintMs = 500;

webrtc::StreamConfig streamOf(uint32_t channels) {
    return webrtc::StreamConfig(static_cast<int>(processingRate), channels, false);
}

}  // namespace

std::unique_ptr<WebRtcVoiceProcessor> WebRtcVoiceProcessor::create(std::string& error) {
    webrtc::Config config;
    // Server latency reports are not exact enough to align on: let the canceller find the delay,
    // and give it the longer filter that tolerates a room of real size.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    // Analog gain control would move the system's microphone volume.
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    webrtc::AudioProcessing* processing = webrtc::AudioProcessing::Create(config);
    if (!processing) {
        error = "Unable to create the echo canceller";
        return nullptr;
    }
    std::unique_ptr<WebRtcVoiceProcessor> processor(new WebRtcVoiceProcessor(processing));

    const webrtc::StreamConfig mono = streamOf(1);
    const webrtc::ProcessingConfig streams = {{mono, mono, mono, mono}};
    webrtc::EchoCancellation* echo = processing->echo_cancellation();
    webrtc::GainControl* gain = processing->gain_control();
    webrtc::NoiseSuppression* noise = processing->noise_suppression();
    const bool configured =
        processing->Initialize(streams) == webrtc::AudioProcessing::kNoError && echo->Enable(true) == 0 &&
        echo->set_suppression_level(webrtc::EchoCancellation::kHighSuppression) == 0 &&
        echo->enable_metrics(true) == 0 && echo->enable_delay_logging(true) == 0 &&
        noise->set_level(webrtc::NoiseSuppression::kHigh) == 0 && noise->Enable(true) == 0 &&
        processing->high_pass_filter()->Enable(true) == 0 &&
        gain->set_mode(webrtc::GainControl::kAdaptiveDigital) == 0 && gain->enable_limiter(true) == 0 &&
        gain->Enable(true) == 0;
    if (!configured) {
        error = "Unable to configure the echo canceller";
        return nullptr;
    }
    return processor;
}

WebRtcVoiceProcessor::WebRtcVoiceProcessor(webrtc::AudioProcessing* processing)
    : processing_(processing), scratch_(processingFrameLength) {}

WebRtcVoiceProcessor::~WebRtcVoiceProcessor() = default;

void WebRtcVoiceProcessor::analyzeRender(const float* const* channels, uint32_t channelCount) {
    // The reference is mono; a multi-channel render stream is represented by its first channel.
    float* outputs[] = {scratch_.data()};
    const webrtc::StreamConfig stream = streamOf(1);
    (void)channelCount;
    processing_->ProcessReverseStream(channels, stream, stream, outputs);
}

void WebRtcVoiceProcessor::processCapture(float* const* channels, uint32_t channelCount, int32_t delayMilliseconds,
                                          bool agcEnabled) {
    if (agcEnabled != agcEnabled_) {
        processing_->gain_control()->Enable(agcEnabled);
        agcEnabled_ = agcEnabled;
    }
    processing_->set_stream_delay_ms(std::clamp<int32_t>(delayMilliseconds, 0, maximumDelayHintMs));
    const webrtc::StreamConfig stream = streamOf(channelCount);
    processing_->ProcessStream(channels, stream, stream, channels);
}

void WebRtcVoiceProcessor::realign() {
    // Nothing to reset: delay-agnostic mode re-estimates the render-to-capture delay continuously,
    // and resetting the canceller would throw away an adapted filter for the same echo path.
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
    return result;
}

}  // namespace mivo::platform::pulse
