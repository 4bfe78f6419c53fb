// The echo path inside the room client: what the loudspeaker played, through the room, into the
// microphone, and the echo kept where the room's delay puts it while the server's timing moves.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "room_client_state.h"
#include "signal_locator.h"

namespace mivo::room::detail {

namespace {

// Not a multiple of the servers' 5 or 10 ms blocks, so that looks fall at every phase of them.
constexpr pa_usec_t lookInterval = 23000;
constexpr pa_usec_t watchInterval = 1000000;

}  // namespace

void RoomClient::onRead(pa_stream* stream, size_t, void* self) {
    auto* client = static_cast<RoomClient*>(self);
    if (stream == client->loudspeaker_) {
        client->readLoudspeaker();
    } else {
        client->readMicrophone();
    }
}

void RoomClient::write(const float* samples, size_t count) {
    pa_stream_write(echo_, samples, bytesOf(count), nullptr, 0, PA_SEEK_RELATIVE);
    written_ += static_cast<int64_t>(count);
}

// The audio path: whatever the loudspeaker played goes through the room and on into the
// microphone, as many samples out as came in. The test burst, while it lasts, rides on top.
void RoomClient::readLoudspeaker() {
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(loudspeaker_) > 0) {
        if (pa_stream_peek(loudspeaker_, &data, &bytes) < 0) return fail("cannot read the loudspeaker");
        if (bytes == 0) break;
        const size_t samples = std::min(bytes / sizeof(float), largestBlock);
        if (data) {
            path_.process(static_cast<const float*>(data), output_.data(), samples, written_);
        } else {
            // A hole: the loudspeaker played nothing there.
            std::fill(output_.begin(), output_.begin() + static_cast<long>(samples), 0.0f);
            path_.process(output_.data(), output_.data(), samples, written_);
        }
        for (size_t i = 0; i < samples && burstAt_ >= 0; ++i) {
            const int64_t at = written_ + static_cast<int64_t>(i) - burstAt_;
            if (at >= 0 && at < static_cast<int64_t>(burstSamples)) output_[i] += burst_[static_cast<size_t>(at)];
        }
        write(output_.data(), samples);
        loudspeakerRead_ += static_cast<int64_t>(samples);
        pa_stream_drop(loudspeaker_);
    }
}

// The microphone is read only to keep its position, and, after the burst, to find it.
void RoomClient::readMicrophone() {
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(microphone_) > 0 && pa_stream_peek(microphone_, &data, &bytes) == 0 && bytes > 0) {
        const size_t samples = bytes / sizeof(float);
        for (size_t i = 0; stage_ == Stage::listening && i < samples && listened_ < heard_.size(); ++i) {
            if (microphoneRead_ + static_cast<int64_t>(i) >= listeningFrom_) {
                heard_[listened_++] = data ? static_cast<const float*>(data)[i] : 0.0f;
            }
        }
        microphoneRead_ += static_cast<int64_t>(samples);
        pa_stream_drop(microphone_);
    }
    if (stage_ == Stage::listening && listened_ == heard_.size()) findBurst();
}

// Asks the server for every stream's timing; timingArrived() follows once all answers are in,
// so that none of them is an extrapolation from an old answer.
void RoomClient::requestTiming() {
    pendingTimings_ = 3;
    for (pa_stream* stream : {echo_, loudspeaker_, microphone_}) {
        pa_operation* operation = pa_stream_update_timing_info(stream, &RoomClient::onTiming, this);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            --pendingTimings_;
            timingFailed_ = true;
        }
    }
}

void RoomClient::onTiming(pa_stream*, int success, void* self) {
    auto* client = static_cast<RoomClient*>(self);
    if (!success) client->timingFailed_ = true;
    if (--client->pendingTimings_ > 0) return;
    const bool failed = client->timingFailed_;
    client->timingFailed_ = false;
    client->timingArrived(failed);
}

void RoomClient::timingArrived(bool failed) {
    pa_usec_t echo = 0, loudspeaker = 0, microphone = 0;
    failed = failed || pa_stream_get_time(echo_, &echo) < 0 || pa_stream_get_time(loudspeaker_, &loudspeaker) < 0 ||
             pa_stream_get_time(microphone_, &microphone) < 0;
    if (stage_ == Stage::listening) return arm(lookInterval);
    if (failed || topUp()) {
        // Timing from before a top-up no longer holds.
        placement_.forgetLooks();
        if (stage_ == Stage::placed) stage_ = Stage::replacing;
        return arm(lookInterval);
    }
    const auto samples = [](pa_usec_t a, pa_usec_t b) {
        return (static_cast<double>(a) - static_cast<double>(b)) * rate / 1e6;
    };
    const bool agreed = placement_.look(samples(echo, loudspeaker), samples(microphone, loudspeaker));
    if (stage_ == Stage::placed) return arm(watchInterval);
    if (!agreed) return arm(lookInterval);
    if (stage_ == Stage::settling) return startBurst();
    placeEcho();  // again, after the echo stream ran dry
    arm(watchInterval);
}

// Keeps `leadSamples` queued in front of the echo stream's play position. The server stops the
// stream's clock while it runs dry, which would move the echo; true when it had to top up.
bool RoomClient::topUp() {
    const pa_timing_info* timing = pa_stream_get_timing_info(echo_);
    if (!timing) return false;
    const int64_t queued = (timing->write_index - timing->read_index) / static_cast<int64_t>(sizeof(float));
    if (queued >= static_cast<int64_t>(leadSamples / 2)) return false;
    write(silence_.data(), leadSamples - static_cast<size_t>(std::max<int64_t>(queued, 0)));
    if (!dry_) dryAfterOnset_ = path_.secondsSinceOnset();
    dry_ = true;
    return true;
}

void RoomClient::startBurst() {
    stage_ = Stage::listening;
    burstAt_ = written_ + static_cast<int64_t>(leadSamples);
    listeningFrom_ = microphoneRead_;
    listened_ = 0;
    arm(lookInterval);
}

void RoomClient::findBurst() {
    double prominence = 0.0;
    const long found = locateSignal(heard_, burst_, &prominence);
    if (found < 0 || prominence < 8.0) {
        std::fprintf(stderr, "mivo-room: the test burst was not heard in the microphone (%.1f); trying again\n",
                     prominence);
        stage_ = Stage::settling;
        placement_.forgetLooks();
        return;
    }
    placement_.tieBurst(burstAt_, listeningFrom_ + found);
    stage_ = Stage::settling;
    placeEcho();
}

void RoomClient::placeEcho() {
    const bool first = !path_.placed();
    dry_ = false;
    const int64_t ahead = written_ - loudspeakerRead_;
    path_.placeEcho(placement_.offset(ahead));
    stage_ = Stage::placed;
    if (placement_.delayMs(ahead) > room_.delayMs + 0.5) {
        std::fprintf(stderr, "mivo-room: %.1f ms cannot be reached on this server; the echo is %.2f ms late\n",
                     room_.delayMs, placement_.delayMs(ahead));
    }
    if (!first) {
        // From the loudspeaker's first sound (the far end's, in a session), to tell one before a
        // session from one inside it; -1: before any sound.
        std::fprintf(stderr, "mivo-room: the echo stream ran dry at %.2f s; echo placed again at %.2f s\n",
                     dryAfterOnset_, path_.secondsSinceOnset());
        return;
    }
    std::printf("ready delay_ms=%.3f floor_ms=%.3f kind=client wanted_ms=%.3f\n", placement_.delayMs(ahead),
                placement_.floorMs(ahead), room_.delayMs);
    std::fflush(stdout);
}

void RoomClient::onTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    static_cast<RoomClient*>(self)->requestTiming();
}

void RoomClient::arm(pa_usec_t after) {
    pa_mainloop_api* api = pa_mainloop_get_api(loop_);
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), after);
    if (timer_) {
        api->time_restart(timer_, &when);
    } else {
        timer_ = api->time_new(api, &when, &RoomClient::onTimer, this);
    }
}

}  // namespace mivo::room::detail
