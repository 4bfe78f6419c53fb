// The capture path of a PulseEngine run: record stream, 10 ms frames, voice processing, tap.

#include <algorithm>
#include <cstring>

#include "platform/pulse/pulse_engine_session.h"

namespace mivo::platform::pulse {

void PulseEngine::StreamCallbacks::readable(pa_stream*, size_t, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
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
    const size_t frameBytes = size_t{s.captureChannels} * sizeof(float);
    // What is left stays queued in the stream until the next read callback.
    while (!s.closing && exclusionsWanted_.load(std::memory_order_relaxed) == 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s.record, &data, &bytes) < 0 || bytes == 0) return;
        // No data with a length is a hole in the stream, heard as silence.
        const auto* samples = static_cast<const float*>(data);
        const size_t frames = bytes / frameBytes;
        size_t at = 0;
        while (at < frames) {
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
            at += count;
            if (s.frameFill == processingFrameLength) {
                s.frameFill = 0;
                // A block may have ended the run; the stream is gone then.
                if (!processCaptureFrame(s)) return;
            }
        }
        pa_stream_drop(s.record);
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
