// The playback path of a PulseEngine run: mixing the players into the playback stream, feeding
// the echo reference, and the tick that completes what the sink has played.

#include <algorithm>
#include <cstring>

#include "platform/pulse/pulse_engine_session.h"
#include "platform/pulse/pulse_player_node.h"

namespace mivo::platform::pulse {

void PulseEngine::StreamCallbacks::writable(pa_stream*, size_t bytes, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (engine) engine->render(*s, bytes);
}

void PulseEngine::StreamCallbacks::ticked(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                                          void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (!engine) return;
    engine->tick(*s);
    if (!s->closing) pa_context_rttime_restart(s->context(), event, pa_rtclock_now() + tickInterval);
}

void PulseEngine::render(Session& s, size_t requestedBytes) {
    const size_t frameBytes = size_t{processingFrameLength} * s.renderChannels * sizeof(float);
    // Whole 10 ms frames, so that the echo reference sees exactly what is written; at least one,
    // or a request smaller than a frame would stall the stream.
    const size_t count = std::max<size_t>(requestedBytes / frameBytes, 1);
    for (size_t n = 0; n < count && !s.closing; ++n) {
        float* mono = s.mix[0];
        std::fill(mono, mono + processingFrameLength, 0.0f);
        for (size_t i = 0; i < players_.size(); ++i) players_[i]->mixInto(mono, processingFrameLength, s.writtenFrames);
        for (uint32_t c = 1; c < s.renderChannels; ++c) std::memcpy(s.mix[c], mono, processingFrameLength * sizeof(float));
        if (discontinuity_.exchange(false)) s.processor->realign();
        s.processor->analyzeRender(s.mix.data(), s.renderChannels);

        void* data = nullptr;
        size_t bytes = frameBytes;
        if (pa_stream_begin_write(s.playback, &data, &bytes) < 0 || !data || bytes < frameBytes) {
            if (data) pa_stream_cancel_write(s.playback);
            data = s.interleaved.data();
        }
        auto* out = static_cast<float*>(data);
        if (s.renderChannels == 1) {
            std::memcpy(out, mono, frameBytes);
        } else {
            for (uint32_t i = 0; i < processingFrameLength; ++i) {
                for (uint32_t c = 0; c < s.renderChannels; ++c) out[i * s.renderChannels + c] = s.mix[c][i];
            }
        }
        if (pa_stream_write(s.playback, data, frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        s.writtenFrames += processingFrameLength;
    }
}

void PulseEngine::tick(Session& s) {
    if (exclusionsWanted_.load(std::memory_order_relaxed) != 0) return;
    pa_usec_t played = 0;
    // Where the sink is in what we wrote: the stream's read index less the sink's own latency.
    if (pa_stream_get_time(s.playback, &played) < 0) return;
    const uint64_t position = played * processingRate / PA_USEC_PER_SEC;
    for (size_t i = 0; i < players_.size() && !s.closing; ++i) {
        const std::shared_ptr<PulsePlayerNode> player = players_[i];
        player->deliverCompletions(position);
    }
}

}  // namespace mivo::platform::pulse
