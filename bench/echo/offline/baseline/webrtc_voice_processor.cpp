#include "webrtc_voice_processor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace mivo::offline::baseline {

namespace {

// The canceller reads the delay only when it starts: it lines the reference up that far ahead of
// the capture and looks for the echo within its filter from there. Too little and the echo falls
// late in the filter, where it is cancelled poorly and unsteadily; too much and the reference comes
// after its echo, which cannot be cancelled at all. Reports of 500 ms and more it ignores.
constexpr int32_t maximumDelayHintMs = 480;
// Where a measured echo is placed: early in the filter, with room on both sides for the echo path
// to move before it falls out.
constexpr int32_t echoPlacementMs = 20;
// A measured echo outside this range starts the canceller again, placed by the measurement.
constexpr int32_t earliestPlacementMs = 6;
constexpr int32_t latestPlacementMs = 40;
constexpr int32_t frameMs = 10;
// How far the echo may have moved across a discontinuity before the canceller starts over.
constexpr int32_t recheckToleranceMs = 3;

// A gain that follows the talker up by the default 9 dB also lifts what is left of the echo, and
// its level swings between the near end alone and double talk; a small gain keeps it a leveller.
constexpr int compressionGainDb = 3;

webrtc::StreamConfig streamOf(uint32_t channels) {
    return webrtc::StreamConfig(static_cast<int>(processingRate), channels, false);
}

}  // namespace

std::unique_ptr<WebRtcVoiceProcessor> WebRtcVoiceProcessor::create(std::string& error) {
    // It asked for the delay-agnostic mode and the extended filter on, the experimental gain
    // control off, through a webrtc::Config that never reached the canceller: it ran with the
    // defaults, which are what Create() without a Config gives.
    webrtc::AudioProcessing* processing = webrtc::AudioProcessing::Create();
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
    // Low echo suppression and moderate noise suppression: with the echo lined up the linear
    // filter removes most of it, and stronger suppressors mostly take the near-end talker away
    // during double talk.
    const bool configured =
        processing->Initialize(streams) == webrtc::AudioProcessing::kNoError && echo->Enable(true) == 0 &&
        echo->set_suppression_level(webrtc::EchoCancellation::kLowSuppression) == 0 &&
        echo->enable_metrics(true) == 0 && echo->enable_delay_logging(true) == 0 &&
        noise->set_level(webrtc::NoiseSuppression::kModerate) == 0 && noise->Enable(true) == 0 &&
        processing->high_pass_filter()->Enable(true) == 0 &&
        gain->set_mode(webrtc::GainControl::kAdaptiveDigital) == 0 &&
        gain->set_compression_gain_db(compressionGainDb) == 0 && gain->enable_limiter(true) == 0 &&
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
    delayFinder_.addReference(channels[0]);
    ++renderedFrames_;
    renderSinceStart_ = true;
}

void WebRtcVoiceProcessor::processCapture(float* const* channels, uint32_t channelCount, int32_t delayMilliseconds,
                                          bool agcEnabled) {
    if (agcEnabled != agcEnabled_) {
        processing_->gain_control()->Enable(agcEnabled);
        agcEnabled_ = agcEnabled;
    }
    delayFinder_.addCapture(channels[0]);
    // How far the reference runs ahead of this capture frame in what has reached us.
    const int64_t aheadMs = (static_cast<int64_t>(renderedFrames_) - static_cast<int64_t>(capturedFrames_)) * frameMs;
    const int32_t echoLagMs = delayFinder_.settledLagMs();
    int64_t hint = delayMilliseconds;
    if (echoLagMs >= 0) {
        // The echo of reference frame k comes back in capture frame k + lag, so lining the
        // reference up `hint` ahead of this frame puts the echo ahead + lag - hint into the filter.
        // The server's report leaves out what it does not know of: the room, converters, a
        // loopback; the measurement has it all.
        hint = aheadMs + echoLagMs - echoPlacementMs;
        const int32_t placed = placementMs_ + echoLagMs;
        if (!startPending_ && placementMs_ != unknownPlacement) {
            // After a discontinuity the filter no longer matches even a small move of the echo
            // (an underrun shifts it by the gap), and adapting back takes seconds: start over.
            const bool moved = recheckPlacement_ && std::abs(placed - placedAtRecheck_) > recheckToleranceMs;
            recheckPlacement_ = false;
            if (moved || placed < earliestPlacementMs || placed > latestPlacementMs) restartCanceller();
        }
    }
    const auto given = static_cast<int32_t>(std::clamp<int64_t>(hint, 0, maximumDelayHintMs));
    if (startPending_ && renderSinceStart_) {
        // This frame starts the canceller (it waits for a reference): note where it lines up.
        placementMs_ = static_cast<int32_t>(aheadMs - given);
        startPending_ = false;
    }
    processing_->set_stream_delay_ms(given);
    const webrtc::StreamConfig stream = streamOf(channelCount);
    processing_->ProcessStream(channels, stream, stream, channels);
    ++capturedFrames_;
}

void WebRtcVoiceProcessor::restartCanceller() {
    // Off and on again, the canceller starts over and lines up with the next delay it is given.
    // Noise suppression and gain control keep their state.
    webrtc::EchoCancellation* echo = processing_->echo_cancellation();
    echo->Enable(false);
    echo->Enable(true);
    ++restarts_;
    startPending_ = true;
    renderSinceStart_ = false;
    placementMs_ = unknownPlacement;
    recheckPlacement_ = false;
}

void WebRtcVoiceProcessor::realign() {
    // What was rendered no longer matches what is heard, so the lag may have moved: measure it
    // again. The canceller keeps its filter unless the new lag shows that the echo moved.
    const int32_t echoLagMs = delayFinder_.settledLagMs();
    if (echoLagMs >= 0 && placementMs_ != unknownPlacement && !recheckPlacement_) {
        placedAtRecheck_ = placementMs_ + echoLagMs;
        recheckPlacement_ = true;
    }
    delayFinder_.reset();
}

extern "C" int WebRtcAec_system_delay(const struct AecCore* core);

int WebRtcVoiceProcessor::bufferedReference() {
    AecCore* core = processing_->echo_cancellation()->aec_core();
    return core ? WebRtcAec_system_delay(core) : -1;
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

}  // namespace mivo::offline::baseline
