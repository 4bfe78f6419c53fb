// The room client's side of the server: the connection, its streams, the loopback a loopback room
// loads, and a signal that ends it all cleanly; the echo itself is in room_client_echo.cpp.
#include "room_client.h"

#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "priority.h"
#include "room_client_state.h"

namespace mivo::room {

namespace detail {

namespace {

const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, rate, 1};

}  // namespace

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
    const double delay = client->room_.delayMs;
    std::printf("ready delay_ms=%.3f floor_ms=0 kind=loopback wanted_ms=%.3f\n", delay, delay);
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

}  // namespace detail

int runRoomClient(const RoomDescription& room, const RoomClientOptions& options) {
    detail::RoomClient client(room, options);
    return client.run();
}

}  // namespace mivo::room
