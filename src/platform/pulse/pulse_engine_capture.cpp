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
        // No data with a length is a hole in the stream, heard as silence: the capture jumped
        // ahead of the echo reference.
        if (!data && s.peekedFramesTaken == 0) noteDiscontinuity();
        const size_t frames = bytes / (size_t{s.captureChannels} * sizeof(float));
        while (s.peekedFramesTaken < frames) {
            if (!takeCaptureFrames(s, static_cast<const float*>(data), frames)) return;
            // A whole frame went through; the rest of the loop comes before more of a backlog.
            if (s.frameFill == 0 && std::chrono::steady_clock::now() >= sliceEnd) return deferCapture(s, 0);
        }
        s.peekedFramesTaken = 0;
        pa_stream_drop(s.record);
    }
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
    const size_t count = std::min<size_t>(frames - at, processingFrameLength - s.frameFill);
    for (uint32_t c = 0; c < s.captureChannels; ++c) {
        float* out = s.frame[c] + s.frameFill;
        if (!samples) {
            std::fill(out, out + count, 0.0f);
            continue;
        }
        const float* in = samples + at * s.captureChannels + c;
        for (size_t i = 0; i < count; ++i) out[i] = in[i * s.captureChannels];
    }
    s.frameFill += static_cast<uint32_t>(count);
    s.peekedFramesTaken += count;
    if (s.frameFill < processingFrameLength) return true;
    s.frameFill = 0;
    // A block may have ended the run; the stream is gone then.
    return processCaptureFrame(s);
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
        noteDiscontinuity();
    } else if (s.recordBacklogFull && queued < limit / 2) {
        s.recordBacklogFull = false;
    }
}

bool PulseEngine::processCaptureFrame(Session& s) {
    if (s.voiceProcessing) {
        if (discontinuity_.exchange(false)) s.processor->realign();
        if (!bypassed_.load(std::memory_order_relaxed)) {
            int64_t delay = 0;
            pa_usec_t latency = 0;
            int negative = 0;
            if (pa_stream_get_latency(s.playback, &latency, &negative) == 0) {
                delay += negative ? -static_cast<int64_t>(latency) : static_cast<int64_t>(latency);
            }
            // The record latency can be negative: the source may be ahead of what we have read.
            if (pa_stream_get_latency(s.record, &latency, &negative) == 0) {
                delay += negative ? -static_cast<int64_t>(latency) : static_cast<int64_t>(latency);
            }
            s.processor->processCapture(s.frame.data(), s.captureChannels, static_cast<int32_t>(delay / 1000),
                                        agc_.load(std::memory_order_relaxed));
        }
        if (muted_.load(std::memory_order_relaxed)) std::fill(s.frameStorage.begin(), s.frameStorage.end(), 0.0f);
    }
    uint32_t at = 0;
    while (at < processingFrameLength) {
        const uint32_t count = std::min(processingFrameLength - at, s.tapLength - s.tapFill);
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
    const BorrowedFloatBuffer buffer(standardFormat(processingRate, s.captureChannels), s.tapChannels.data(),
                                     s.tapLength);
    tapCalling_ = true;
    (*block)(buffer, AudioTime{first, static_cast<double>(processingRate)});
    tapCalling_ = false;
    if (retiredTap_) retiredTap_.reset();
    if (tapResizePending_) {
        tapResizePending_ = false;
        if (!s.closed) prepareTapStorage(s);
    }
    return !s.closing;
}

}  // namespace mivo::platform::pulse
