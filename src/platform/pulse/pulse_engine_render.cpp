// The playback path of a PulseEngine run: mixing the players into the playback stream, feeding
// the echo reference, and the tick that completes what the sink has played and watches the server.

#include <algorithm>
#include <cstring>

#include "platform/pulse/pulse_engine_session.h"
#include "platform/pulse/pulse_player_node.h"

namespace mivo::platform::pulse {

namespace {

// Ticks in a row without audio from the server or a request for more: it has stopped answering
// (frozen, or its machine stalled) and the run ends as if its devices had gone. Ticks, not time:
// a stall of this process's own loop must not count.
constexpr uint32_t frozenServerTicks = 150;

}  // namespace

void PulseEngine::RunCallbacks::writable(pa_stream*, size_t bytes, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    s->heardFromServer = true;
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (engine) engine->render(*s, bytes);
}

void PulseEngine::RunCallbacks::ticked(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                                          void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (!engine) return;
    engine->tick(*s);
    if (!s->closing) pa_context_rttime_restart(s->context(), event, pa_rtclock_now() + tickInterval);
}

void PulseEngine::render(Session& s, size_t requestedBytes) {
    const size_t frameBytes = size_t{renderFrameLength} * s.renderChannels * sizeof(float);
    // Whole 10 ms frames, so that the echo reference sees exactly what is written; at least one,
    // or a request smaller than a frame would stall the stream.
    const size_t count = std::max<size_t>(requestedBytes / frameBytes, 1);
    for (size_t n = 0; n < count && !s.closing; ++n) {
        mixFrame(s);
        void* data = nullptr;
        size_t bytes = frameBytes;
        if (pa_stream_begin_write(s.playback, &data, &bytes) < 0 || !data || bytes < frameBytes) {
            if (data) pa_stream_cancel_write(s.playback);
            data = s.interleaved.data();
        }
        auto* out = static_cast<float*>(data);
        if (s.renderChannels == 1) {
            std::memcpy(out, s.mix[0], frameBytes);
        } else {
            for (uint32_t i = 0; i < renderFrameLength; ++i) {
                for (uint32_t c = 0; c < s.renderChannels; ++c) out[i * s.renderChannels + c] = s.mix[c][i];
            }
        }
        if (pa_stream_write(s.playback, data, frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        s.writtenFrames += renderFrameLength;
    }
}

// The next 10 ms of every player, or silence once a change was seen: the host has been told (or
// is about to be) that playback ended, so nothing more of it may sound on the old device.
void PulseEngine::mixFrame(Session& s) {
    float* mono = s.mix[0];
    std::fill(mono, mono + renderFrameLength, 0.0f);
    if (!s.changeRequested) {
        for (size_t i = 0; i < players_.size(); ++i) players_[i]->mixInto(mono, renderFrameLength, s.writtenFrames);
    }
    for (uint32_t c = 1; c < s.renderChannels; ++c) std::memcpy(s.mix[c], mono, renderFrameLength * sizeof(float));
    s.passDiscontinuities();
    s.processor->analyzeRender(mono);
}

void PulseEngine::tick(Session& s) {
    if (s.heardFromServer) {
        s.heardFromServer = false;
        s.quietTicks = 0;
    } else if (++s.quietTicks == frozenServerTicks) {
        RunCallbacks::requestChange(s);
    }
    RunCallbacks::sendDeviceQueries(s);
    if (s.changeRequested) {
        deliverConfigurationChange(s);
        return;
    }
    if (exclusionsWanted_.load(std::memory_order_relaxed) != 0) return;
    completePlayedBuffers(s);
}

void PulseEngine::completePlayedBuffers(Session& s) {
    const size_t bytesPerFrame = size_t{s.renderChannels} * sizeof(float);
    // A flush moves the stream's write index back; the stream knows where it is once it has heard
    // from the server again.
    if (const pa_timing_info* timing = pa_stream_get_timing_info(s.playback); timing && !timing->write_index_corrupt) {
        s.streamOffset = timing->write_index / static_cast<int64_t>(bytesPerFrame) - static_cast<int64_t>(s.writtenFrames);
    }
    pa_usec_t played = 0;
    // Where the sink is in what we wrote: the stream's read index less the sink's own latency.
    if (pa_stream_get_time(s.playback, &played) < 0) return;
    const int64_t streamPosition = static_cast<int64_t>(played * renderRate / PA_USEC_PER_SEC);
    const uint64_t position = static_cast<uint64_t>(std::max<int64_t>(streamPosition - s.streamOffset, 0));
    for (size_t i = 0; i < players_.size() && !s.closing; ++i) {
        const std::shared_ptr<PulsePlayerNode> player = players_[i];
        player->deliverCompletions(position);
    }
}

// Audio another player still has in the server plays out, so the reference stays true unless the
// flush happens.
void PulseEngine::dropRenderedAudio() {
    Session* s = session_.get();
    if (!s || !s->started || s->closing || !s->playback) return;
    for (const auto& player : players_) {
        if (player->hasRenderedAudio()) return;
    }
    if (pa_stream_get_state(s->playback) != PA_STREAM_READY) return;
    if (pa_operation* flushed = pa_stream_flush(s->playback, nullptr, nullptr)) pa_operation_unref(flushed);
    s->noteDiscontinuity(Discontinuity::renderDropped);
}

}  // namespace mivo::platform::pulse
