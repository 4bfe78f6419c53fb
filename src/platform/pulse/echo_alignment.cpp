#include "platform/pulse/echo_alignment.h"

#include <algorithm>
#include <cmath>

namespace mivo::platform::pulse {

namespace {

constexpr int64_t samplesPerMs = voiceRate / 1000;
// Until the server's timing arrives: the playback buffer the engine asks for, about.
constexpr int64_t assumedLead = 30 * samplesPerMs;
// Within a second of a discontinuity the engine reported, a step in the timing this large, held
// for `stepHold` frames, moves the reference. At other times the timing is not followed: between
// the server's timing updates (every 1.5 s) the client interpolates, and each update corrects it
// by a few milliseconds at once, steps the streams never took.
constexpr double stepThreshold = 2.0 * samplesPerMs;
constexpr uint32_t stepHold = 5;
constexpr uint32_t discontinuityWindow = 100;
// Frames the finder may look past what was rendered before the alignment moves: half a second.
constexpr uint32_t unfedLimit = 50;
// Recent frames against those of 200 ms before; medians of 9 put the step within a fraction of a
// millisecond of the timing's own jitter.
constexpr uint32_t recentFrames = 9;
constexpr uint32_t earlierFrames = 20;

template <size_t N>
double medianOf(std::array<double, N> values, size_t count) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(count / 2);
    std::nth_element(values.begin(), middle, values.begin() + static_cast<std::ptrdiff_t>(count));
    return *middle;
}

}  // namespace

EchoAlignment::EchoAlignment()
    : history_(historyLength, 0.0f), finderReference_(voiceFrameLength, 0.0f), reference_(voiceFrameLength, 0.0f) {}

void EchoAlignment::addRender(const float* frame, uint32_t delay) {
    delay_ = delay;
    for (uint32_t i = 0; i < voiceFrameLength; ++i) {
        history_[static_cast<size_t>(written_ + i) & (historyLength - 1)] = frame[i];
    }
    written_ += voiceFrameLength;
}

void EchoAlignment::noteDiscontinuity(Discontinuity discontinuity) {
    sinceDiscontinuity_ = 0;
    // Silence the loudspeaker played on top of the render makes the echo later; render that will
    // never be played, or capture that never arrived, makes it earlier.
    expectedLater_ = discontinuity == Discontinuity::renderUnderrun;
    // Whatever the timing shows, the signals must place the echo again: soon.
    finder_.hurry();
}

std::optional<int32_t> EchoAlignment::roomDelay() const {
    const int32_t lag = finder_.echoLag();
    if (lag < 0) return std::nullopt;
    return lag - finderMargin;
}

void EchoAlignment::followTiming(const CaptureTiming& timing) {
    if (sinceDiscontinuity_ < discontinuityWindow) ++sinceDiscontinuity_;
    if (captured_ == 0) offset_ = captured_ - (written_ - assumedLead);
    if (!timing.known) return;
    const double heard = static_cast<double>(written_) - static_cast<double>(timing.renderLeadMicroseconds) * voiceRate / 1e6;
    const double measured = static_cast<double>(captured_) - heard;
    // The newest first.
    std::copy_backward(measured_.begin(), measured_.end() - 1, measured_.end());
    measured_[0] = measured;
    measuredCount_ = std::min<uint32_t>(measuredCount_ + 1, offsetHistory);
    if (!haveOffset_) {
        if (measuredCount_ < recentFrames) return;
        offset_ = std::llround(medianOf(measured_, recentFrames));
        haveOffset_ = true;
        // What the finder gathered before was lined up by a guess.
        finder_.forgetGathered();
        return;
    }
    if (measuredCount_ < earlierFrames + recentFrames) return;
    std::array<double, offsetHistory> earlier{};
    std::copy(measured_.begin() + earlierFrames, measured_.begin() + earlierFrames + recentFrames, earlier.begin());
    const double step = medianOf(measured_, recentFrames) - medianOf(earlier, recentFrames);
    // A step the other way is the timing correcting itself at the same moment, not the streams.
    const bool expected = sinceDiscontinuity_ < discontinuityWindow && (step > 0.0) == expectedLater_;
    stepFrames_ = expected && std::fabs(step) > stepThreshold ? stepFrames_ + 1 : 0;
    if (stepFrames_ >= stepHold) {
        // The echo of everything rendered from here on moved by the step: so does the reference.
        offset_ += std::llround(step);
        stepFrames_ = 0;
        measuredCount_ = 0;
        // The step is known to a few milliseconds at best: the signals place the echo again.
        finder_.hurry();
    }
}

void EchoAlignment::keepFinderFed() {
    // Nothing can be heard before it was rendered, and a captured frame is at least its own length
    // old: if what was heard at its start seems not to have been rendered yet, the timing came
    // too late after a discontinuity (a stream that ran dry for longer than it first showed).
    // Move past it; the signals place the echo from there.
    const int64_t newest = written_ - static_cast<int64_t>(delay_);
    const int64_t excess = captured_ - offset_ + voiceFrameLength - newest;
    unfedFrames_ = excess > 0 ? unfedFrames_ + 1 : 0;
    if (unfedFrames_ < unfedLimit) return;
    offset_ += excess + finderMargin;
    unfedFrames_ = 0;
    finder_.hurry();
}

void EchoAlignment::copyReference(int64_t position, float* out) const {
    for (uint32_t i = 0; i < voiceFrameLength; ++i) {
        // The downsampler's output `delay` samples later holds this place of the render stream.
        const int64_t at = position + i + delay_;
        const bool kept = at >= 0 && at < written_ && at >= written_ - static_cast<int64_t>(historyLength);
        out[i] = kept ? history_[static_cast<size_t>(at) & (historyLength - 1)] : 0.0f;
    }
}

const float* EchoAlignment::referenceFor(const float* capture, const CaptureTiming& timing) {
    followTiming(timing);
    keepFinderFed();
    // What the loudspeaker played while this frame was captured, and a little later.
    const int64_t heard = captured_ - offset_;
    copyReference(heard + finderMargin, finderReference_.data());
    finder_.add(finderReference_.data(), capture);
    // Until the echo is heard, a room of no delay: a short echo path is cancelled from the start.
    const int32_t room = roomDelay().value_or(0);
    int64_t position = heard - room + placementSamples;
    const int64_t newest = written_ - static_cast<int64_t>(delay_) - voiceFrameLength;
    if (position > newest) {
        // The render has not run that far ahead: the echo lands earlier in the filter.
        position = newest;
        ++lateFrames_;
    }
    copyReference(position, reference_.data());
    captured_ += voiceFrameLength;
    return reference_.data();
}

}  // namespace mivo::platform::pulse
