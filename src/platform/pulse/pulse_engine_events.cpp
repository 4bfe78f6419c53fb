// What a PulseEngine run hears from the server and its streams, and how it tells the core that
// its devices changed.

#include <type_traits>

#include "platform/pulse/pulse_engine_session.h"
#include "platform/pulse/pulse_notification_center.h"

namespace mivo::platform::pulse {

void PulseEngine::Session::connectionLost() { StreamCallbacks::requestChange(*this); }

void PulseEngine::Session::serverEvent(uint32_t type, uint32_t index) {
    const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    pa_context* server = context();
    pa_operation* operation = nullptr;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        operation = pa_context_get_server_info(server, StreamCallbacks::serverAnswered, this);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && index == sink.index) {
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) StreamCallbacks::requestChange(*this);
        else operation = pa_context_get_sink_info_by_index(server, index, StreamCallbacks::deviceAnswered<pa_sink_info>, this);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && index == source.index) {
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) StreamCallbacks::requestChange(*this);
        else operation = pa_context_get_source_info_by_index(server, index, StreamCallbacks::deviceAnswered<pa_source_info>, this);
    }
    if (operation) pa_operation_unref(operation);
}

void PulseEngine::StreamCallbacks::serverAnswered(pa_context*, const pa_server_info* info, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    if (!info) return;
    const std::string sinkName = info->default_sink_name ? info->default_sink_name : "";
    const std::string sourceName = info->default_source_name ? info->default_source_name : "";
    if (sinkName != s->sink.name || sourceName != s->source.name) requestChange(*s);
}

template <typename Info>
void PulseEngine::StreamCallbacks::deviceAnswered(pa_context*, const Info* info, int eol, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    if (eol != 0 || !info) return;
    const DeviceInfo& used = std::is_same_v<Info, pa_sink_info> ? s->sink : s->source;
    // Another active port is another device to the listener (headphones plugged in).
    const char* port = info->active_port && info->active_port->name ? info->active_port->name : "";
    if (used.activePort != port) requestChange(*s);
}

void PulseEngine::StreamCallbacks::streamState(pa_stream* stream, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    s->connection->wakeWaiters();
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) requestChange(*s);
}

void PulseEngine::StreamCallbacks::moved(pa_stream*, void* userdata) { requestChange(*static_cast<Session*>(userdata)); }

void PulseEngine::StreamCallbacks::suspended(pa_stream* stream, void* userdata) {
    if (pa_stream_is_suspended(stream) > 0) requestChange(*static_cast<Session*>(userdata));
}

void PulseEngine::StreamCallbacks::underflow(pa_stream*, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    if (s->processor) s->processor->realign();
}

// Posting happens from a deferred event, outside the library's own callback stacks, and at most
// once per run: after it the run is over for the core.
void PulseEngine::StreamCallbacks::requestChange(Session& s) {
    if (!s.started || s.closing || s.changePosted) return;
    s.changePosted = true;
    s.api()->defer_enable(s.changeEvent, 1);
}

void PulseEngine::StreamCallbacks::changed(pa_mainloop_api* api, pa_defer_event* event, void* userdata) {
    api->defer_enable(event, 0);
    auto* s = static_cast<Session*>(userdata);
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (engine) engine->postConfigurationChange(*s);
}

void PulseEngine::postConfigurationChange(Session& s) {
    if (s.closing) return;
    s.processor->realign();
    notificationCenter_->post(engineConfigurationChangeNotification, static_cast<const AudioEngine*>(this));
}

}  // namespace mivo::platform::pulse
