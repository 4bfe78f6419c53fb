// The capture path of a PulseEngine run: record stream, 10 ms frames, voice processing, tap.

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/pulse/pulse_engine_session.h"

namespace mivo::platform::pulse {

namespace {

// The longest a capture callback works before it lets the loop poll again (playback, completions
// and stop all wait for that): a slow voice-processing stage then falls behind instead of
// starving everything else.
constexpr auto captureSlice = std::chrono::milliseconds(5);
// How soon capture looks again while a thread waits to exclude the engine's callbacks.
constexpr pa_usec_t captureRetry = PA_USEC_PER_MSEC;
// Capture further behind than this is dropped unprocessed, down to half of it: a stage slower
// than real time then costs capture frames, not an ever-growing delay. Some servers (PipeWire's)
// queue record data in the connection ahead of playback requests, so that playback starves too.
constexpr pa_usec_t captureLagLimit = 200 * PA_USEC_PER_MSEC;

}  // namespace

void PulseEngine::RunCallbacks::readable(pa_stream*, size_t, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    s->heardFromServer = true;
    if (s->captureDeferred) return;
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (engine) engine->capture(*s);
}

void PulseEngine::RunCallbacks::captureResumed(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                                  void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    s->captureDeferred = false;
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (engine) engine->capture(*s);
}

void PulseEngine::prepareTapStorage(Session& s) {
    s.tapLength = std::max<uint32_t>(tapSize_, 1);
    layOutChannels(s.tapStorage, s.tapChannels, s.captureChannels, s.tapLength);
    s.tapFill = 0;
}

void PulseEngine::capture(Session& s) {
    const auto sliceEnd = std::chrono::steady_clock::now() + captureSlice;
    noteRecordBacklog(s);
    while (!s.closing) {
        // Whoever waits for the loop comes before more of a backlog.
        if (exclusionsWanted_.load(std::memory_order_relaxed) != 0) return deferCapture(s, captureRetry);
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s.record, &data, &bytes) < 0 || bytes == 0) return;
        if (s.peekedFramesTaken == 0 && fallenBehind(s)) {
            pa_stream_drop(s.record);
            continue;
        }
        // No data with a length is a hole the server reports: it stands for that much silence, so
        // the stream's count still says when each later frame was captured.
        const size_t frames = bytes / (size_t{s.recordChannels} * sizeof(float));
        while (s.peekedFramesTaken < frames) {
            if (!takeCaptureFrames(s, static_cast<const float*>(data), frames)) return;
            // A whole frame went through; the rest of the loop comes before more of a backlog.
            if (s.frameFill == 0 && std::chrono::steady_clock::now() >= sliceEnd) return deferCapture(s, 0);
        }
        s.peekedFramesTaken = 0;
        pa_stream_drop(s.record);
    }
}

// Whether the fragment at the read index is to be dropped; the frame being filled is dropped with
// it, so that no frame joins audio from both sides of the gap. Behind means older than the
// youngest capture of the run: a source's own latency (a null sink's monitor reports most of a
// second) is no backlog.
bool PulseEngine::fallenBehind(Session& s) {
    pa_usec_t age = 0;
    int negative = 0;
    if (pa_stream_get_latency(s.record, &age, &negative) != 0 || negative) return false;
    s.youngestCapture = std::min(s.youngestCapture, age);
    const pa_usec_t lag = age - s.youngestCapture;
    const pa_usec_t limit = s.captureCatchingUp ? captureLagLimit / 2 : captureLagLimit;
    if (lag <= limit) {
        s.captureCatchingUp = false;
        return false;
    }
    if (!s.captureCatchingUp) {
        s.captureCatchingUp = true;
        s.noteDiscontinuity(Discontinuity::captureLost);
    }
    s.frameFill = 0;
    return true;
}

// What is left stays queued in the stream for the next slice.
void PulseEngine::deferCapture(Session& s, uint64_t after) {
    if (s.closing) return;
    s.captureDeferred = true;
    pa_context_rttime_restart(s.context(), s.captureMore, pa_rtclock_now() + after);
}

// Copies frames of the peeked fragment into the 10 ms frame, up to its end, and processes the
// frame once it is whole. False when a block ended the run meanwhile.
bool PulseEngine::takeCaptureFrames(Session& s, const float* samples, size_t frames) {
    const size_t at = s.peekedFramesTaken;
    const size_t count = std::min<size_t>(frames - at, renderFrameLength - s.frameFill);
    // Every channel of the source goes into the frame, or into sourceFrame for the voice.
    const bool gathering = !s.sourceFrame.empty();
    std::vector<float*>& into = gathering ? s.sourceFrame : s.frame;
    for (uint32_t c = 0; c < s.recordChannels; ++c) {
        float* out = into[c] + s.frameFill;
        if (!samples) {
            std::fill(out, out + count, 0.0f);
            continue;
        }
        const float* in = samples + at * s.recordChannels + c;
        for (size_t i = 0; i < count; ++i) out[i] = in[i * s.recordChannels];
    }
    s.frameFill += static_cast<uint32_t>(count);
    s.peekedFramesTaken += count;
    if (s.frameFill < renderFrameLength) return true;
    s.frameFill = 0;
    if (gathering) {
        const uint32_t chosen = s.microphoneChannel.choose(s.sourceFrame.data(), renderFrameLength);
        s.microphoneDownsampler.process(s.sourceFrame[chosen], s.frame[0]);
    }
    // A block may have ended the run; the stream is gone then. The frame began this many frames
    // after the read index (before it, when it began in an earlier fragment).
    return processCaptureFrame(s, static_cast<int64_t>(s.peekedFramesTaken) - renderFrameLength);
}

// A record stream whose queue is full loses what arrives next: the capture skips ahead of the
// echo reference once per such overrun.
void PulseEngine::noteRecordBacklog(Session& s) {
    const pa_buffer_attr* attributes = pa_stream_get_buffer_attr(s.record);
    const size_t queued = pa_stream_readable_size(s.record);
    if (!attributes || queued == static_cast<size_t>(-1)) return;
    const size_t limit = attributes->maxlength;
    if (!s.recordBacklogFull && queued + attributes->fragsize >= limit) {
        s.recordBacklogFull = true;
        s.noteDiscontinuity(Discontinuity::captureLost);
    } else if (s.recordBacklogFull && queued < limit / 2) {
        s.recordBacklogFull = false;
    }
}

// How long before the newest rendered frame is heard this frame's first sample was captured: the
// playback latency plus the record latency (the age of the sample at the read index) less the
// audio between the read index and the frame.
CaptureTiming PulseEngine::captureTiming(Session& s, int64_t framesAfterReadIndex) {
    CaptureTiming timing;
    pa_usec_t playback = 0;
    pa_usec_t record = 0;
    int playbackNegative = 0;
    int recordNegative = 0;
    if (pa_stream_get_latency(s.playback, &playback, &playbackNegative) != 0 ||
        pa_stream_get_latency(s.record, &record, &recordNegative) != 0) {
        return timing;
    }
    const int64_t lead = playbackNegative ? -static_cast<int64_t>(playback) : static_cast<int64_t>(playback);
    // The record stream runs at the render rate; the voice's filter shows each sample that much
    // later than it was captured, as it does the reference.
    const int64_t filterDelay = s.voiceProcessing ? int64_t{ReferenceDownsampler::delay} * 1000000 / voiceRate : 0;
    const int64_t age = (recordNegative ? -static_cast<int64_t>(record) : static_cast<int64_t>(record)) -
                        framesAfterReadIndex * 1000000 / renderRate + filterDelay;
    timing.renderLeadMicroseconds = lead + age;
    timing.known = true;
    return timing;
}

bool PulseEngine::processCaptureFrame(Session& s, int64_t framesAfterReadIndex) {
    if (s.voiceProcessing) {
        s.passDiscontinuities();
        if (!bypassed_.load(std::memory_order_relaxed)) {
            s.processor->processVoice(s.frame[0], captureTiming(s, framesAfterReadIndex),
                                      agc_.load(std::memory_order_relaxed));
        }
        if (muted_.load(std::memory_order_relaxed)) std::fill(s.frameStorage.begin(), s.frameStorage.end(), 0.0f);
    }
    uint32_t at = 0;
    while (at < s.captureFrameLength) {
        const uint32_t count = std::min(s.captureFrameLength - at, s.tapLength - s.tapFill);
        for (uint32_t c = 0; c < s.captureChannels; ++c) {
            std::memcpy(s.tapChannels[c] + s.tapFill, s.frame[c] + at, count * sizeof(float));
        }
        s.tapFill += count;
        at += count;
        if (s.tapFill == s.tapLength) {
            s.tapFill = 0;
            if (!deliverTap(s)) return false;
        }
    }
    return true;
}

bool PulseEngine::deliverTap(Session& s) {
    const uint64_t first = s.capturedFrames;
    s.capturedFrames += s.tapLength;
    TapBlock* block = tap_.get();
    if (!block) return true;
    const BorrowedFloatBuffer buffer(standardFormat(s.captureRate, s.captureChannels), s.tapChannels.data(),
                                     s.tapLength);
    tapCalling_ = true;
    (*block)(buffer, AudioTime{first, static_cast<double>(s.captureRate)});
    tapCalling_ = false;
    if (retiredTap_) retiredTap_.reset();
    if (tapResizePending_) {
        tapResizePending_ = false;
        if (!s.closed) prepareTapStorage(s);
    }
    return !s.closing;
}

}  // namespace mivo::platform::pulse
