#include "room_client.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "echo_path.h"
#include "echo_placement.h"
#include "priority.h"
#include "signal_locator.h"

namespace mivo::room {

namespace {

constexpr uint32_t rate = 48000;
constexpr size_t fragment = 240;          // 5 ms: how often the monitors deliver
// Written ahead of the echo stream's play position: short enough for a 10 ms room, longer where
// the room's delay leaves room for it, so that a busy machine runs the stream dry less often.
size_t leadFor(const RoomDescription& room) {
    const double milliseconds = std::clamp(room.delayMs / 4.0, 7.5, 15.0);
    return static_cast<size_t>(milliseconds * rate / 1000.0);
}
constexpr size_t largestBlock = 48000;    // the most one read can hand over (a second)
constexpr size_t burstSamples = 4800;     // 100 ms of noise at -20 dBFS
constexpr size_t burstListening = 48000;  // how much of the microphone is searched for it
// Not a multiple of the servers' 5 or 10 ms blocks, so that looks fall at every phase of them.
constexpr pa_usec_t lookInterval = 23000;
constexpr pa_usec_t watchInterval = 1000000;

const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, rate, 1};

uint32_t bytesOf(size_t samples) { return static_cast<uint32_t>(samples * sizeof(float)); }

std::vector<float> makeBurst() {
    std::mt19937 random(20240611);
    std::normal_distribution<float> gaussian(0.0f, 0.1f);
    std::vector<float> burst(burstSamples);
    for (float& sample : burst) sample = gaussian(random);
    return burst;
}

enum class Stage { settling, listening, placed, replacing };

class RoomClient {
public:
    RoomClient(const RoomDescription& room, const RoomClientOptions& options)
        : room_(room),
          options_(options),
          path_(room, rate, largestBlock),
          placement_(rate, room.delayMs, path_.processingLatency()),
          output_(largestBlock),
          burst_(makeBurst()),
          heard_(burstListening) {}
    ~RoomClient() { release(); }

    int run();

private:
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* self);
    static void onTiming(pa_stream* stream, int success, void* self);
    static void onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* self);
    static void onSignal(pa_mainloop_api* api, pa_signal_event* event, int signal, void* self);
    static void onModuleLoaded(pa_context* context, uint32_t index, void* self);
    static void onModuleUnloaded(pa_context* context, int success, void* self);

    void createStreams();
    pa_stream* connectRecord(const std::string& device);
    void readLoudspeaker();
    void readMicrophone();
    void write(const float* samples, size_t count);
    void requestTiming();
    void timingArrived(bool failed);
    bool topUp();
    void startBurst();
    void findBurst();
    void placeEcho();
    void arm(pa_usec_t after);
    void fail(const char* what);
    void release();

    const RoomDescription room_;
    const RoomClientOptions options_;
    EchoPath path_;
    EchoPlacement placement_;
    std::vector<float> output_;
    const std::vector<float> burst_;
    std::vector<float> heard_;
    const size_t leadSamples = leadFor(room_);
    const std::vector<float> silence_ = std::vector<float>(leadSamples, 0.0f);
    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* loudspeaker_ = nullptr;  // speaker.monitor
    pa_stream* echo_ = nullptr;         // into room
    pa_stream* microphone_ = nullptr;   // room.monitor, to find the burst and for its timing
    pa_time_event* timer_ = nullptr;
    uint32_t module_ = PA_INVALID_INDEX;
    Stage stage_ = Stage::settling;
    bool started_ = false;
    int pendingTimings_ = 0;
    bool timingFailed_ = false;
    int64_t written_ = 0;        // echo-stream samples written
    int64_t microphoneRead_ = 0;
    int64_t loudspeakerRead_ = 0;
    int64_t burstAt_ = -1;       // echo-stream sample the burst starts at
    bool dry_ = false;             // ran dry since the echo was last placed
    double dryAfterOnset_ = -1.0;  // when, in seconds after the loudspeaker first sounded
    int64_t listeningFrom_ = 0;  // microphone sample heard_[0] is
    size_t listened_ = 0;
    int status_ = 0;
};

void RoomClient::fail(const char* what) {
    std::fprintf(stderr, "mivo-room: %s: %s\n", what, context_ ? pa_strerror(pa_context_errno(context_)) : "");
    status_ = 1;
    if (loop_) pa_mainloop_quit(loop_, 1);
}

void RoomClient::onContextState(pa_context* context, void* self) {
    auto* client = static_cast<RoomClient*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (client->room_.loopback()) {
            const std::string arguments = "source=" + client->options_.speakerMonitor + " sink=" +
                                          client->options_.microphoneSink +
                                          " latency_msec=" + std::to_string(std::lround(client->room_.delayMs));
            pa_operation* operation = pa_context_load_module(context, "module-loopback", arguments.c_str(),
                                                             &RoomClient::onModuleLoaded, client);
            if (operation) pa_operation_unref(operation);
        } else {
            client->createStreams();
        }
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        client->fail("lost the sound server");
        break;
    default:
        break;
    }
}

void RoomClient::onModuleLoaded(pa_context*, uint32_t index, void* self) {
    auto* client = static_cast<RoomClient*>(self);
    if (index == PA_INVALID_INDEX) return client->fail("module-loopback did not load");
    client->module_ = index;
    std::printf("ready delay_ms=%.3f floor_ms=0 kind=loopback\n", client->room_.delayMs);
    std::fflush(stdout);
}

pa_stream* RoomClient::connectRecord(const std::string& device) {
    pa_stream* stream = pa_stream_new(context_, ("room: " + device).c_str(), &sampleSpec, nullptr);
    if (!stream) return nullptr;
    pa_stream_set_state_callback(stream, &RoomClient::onStreamState, this);
    pa_stream_set_read_callback(stream, &RoomClient::onRead, this);
    const pa_buffer_attr attributes{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                                    static_cast<uint32_t>(-1), bytesOf(fragment)};
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_NOT_MONOTONIC);
    if (pa_stream_connect_record(stream, device.c_str(), &attributes, flags) < 0) fail("cannot record the room");
    return stream;
}

void RoomClient::createStreams() {
    loudspeaker_ = connectRecord(options_.speakerMonitor);
    microphone_ = connectRecord(options_.microphoneSink + ".monitor");
    echo_ = pa_stream_new(context_, "room: echo", &sampleSpec, nullptr);
    if (!loudspeaker_ || !microphone_ || !echo_) return fail("cannot make the room's streams");
    pa_stream_set_state_callback(echo_, &RoomClient::onStreamState, this);
    // No prebuffering, so that the stream plays as soon as anything is written.
    const pa_buffer_attr attributes{static_cast<uint32_t>(-1), bytesOf(2 * leadSamples), 0, bytesOf(fragment),
                                    static_cast<uint32_t>(-1)};
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_NOT_MONOTONIC);
    if (pa_stream_connect_playback(echo_, options_.microphoneSink.c_str(), &attributes, flags, nullptr, nullptr) < 0) {
        fail("cannot play into the room");
    }
}

void RoomClient::onStreamState(pa_stream* stream, void* self) {
    auto* client = static_cast<RoomClient*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) return client->fail("a room stream ended");
    const auto ready = [](pa_stream* s) { return s && pa_stream_get_state(s) == PA_STREAM_READY; };
    if (!client->started_ && ready(client->loudspeaker_) && ready(client->echo_) && ready(client->microphone_)) {
        client->started_ = true;
        client->write(client->silence_.data(), client->leadSamples);
        client->arm(300000);  // let the streams settle before their timing is trusted
    }
}

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
    std::printf("ready delay_ms=%.3f floor_ms=%.3f kind=client\n", placement_.delayMs(ahead), placement_.floorMs(ahead));
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

// A loaded loopback outlives this client unless unloaded, and the next room would then add its
// echo to this one's; the loop cannot run again once it has quit, so unload first.
void RoomClient::onSignal(pa_mainloop_api*, pa_signal_event*, int, void* self) {
    auto* client = static_cast<RoomClient*>(self);
    if (client->module_ != PA_INVALID_INDEX && client->context_ &&
        pa_context_get_state(client->context_) == PA_CONTEXT_READY) {
        pa_operation* operation =
            pa_context_unload_module(client->context_, client->module_, &RoomClient::onModuleUnloaded, client);
        if (operation) {
            pa_operation_unref(operation);
            return;
        }
    }
    pa_mainloop_quit(client->loop_, client->status_);
}

void RoomClient::onModuleUnloaded(pa_context*, int success, void* self) {
    auto* client = static_cast<RoomClient*>(self);
    if (!success) std::fprintf(stderr, "mivo-room: module-loopback did not unload\n");
    client->module_ = PA_INVALID_INDEX;
    pa_mainloop_quit(client->loop_, client->status_);
}

int RoomClient::run() {
    raiseToServerPriority();
    loop_ = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(loop_);
    pa_signal_init(api);
    pa_signal_new(SIGTERM, &RoomClient::onSignal, this);
    pa_signal_new(SIGINT, &RoomClient::onSignal, this);
    context_ = pa_context_new(api, ("mivo-room " + room_.name).c_str());
    pa_context_set_state_callback(context_, &RoomClient::onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        fail("cannot reach the sound server");
        return status_;
    }
    int result = 0;
    pa_mainloop_run(loop_, &result);
    return status_;
}

void RoomClient::release() {
    for (pa_stream* stream : {loudspeaker_, echo_, microphone_}) {
        if (stream) pa_stream_set_state_callback(stream, nullptr, nullptr);
    }
    if (context_) pa_context_set_state_callback(context_, nullptr, nullptr);
    for (pa_stream* stream : {loudspeaker_, echo_, microphone_}) {
        if (stream) {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
    }
    if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_) {
        pa_signal_done();
        pa_mainloop_free(loop_);
    }
    loudspeaker_ = echo_ = microphone_ = nullptr;
    context_ = nullptr;
    loop_ = nullptr;
}

}  // namespace

int runRoomClient(const RoomDescription& room, const RoomClientOptions& options) {
    RoomClient client(room, options);
    return client.run();
}

}  // namespace mivo::room
