// What a PulseEngine run hears from the server and its streams, and how it tells the core that
// its devices changed.

#include <type_traits>

#include "platform/pulse/pulse_engine_session.h"
#include "platform/pulse/pulse_notification_center.h"

namespace mivo::platform::pulse {

namespace {

enum DeviceQuery : unsigned { serverQuery = 1, sinkQuery = 2, sourceQuery = 4 };

// A volume slider dragged on a device in use sends an event every few milliseconds: the questions
// they raise are asked together, and no more often than this.
constexpr pa_usec_t deviceQueryInterval = 100 * PA_USEC_PER_MSEC;

}  // namespace

void PulseEngine::Session::connectionLost() { RunCallbacks::requestChange(*this); }

void PulseEngine::Session::serverEvent(uint32_t type, uint32_t index) {
    // Until then the connection only notes that something happened; see recheckDevices.
    if (!devicesChosen) return;
    const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        pendingQueries |= serverQuery;
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && index == sink.index) {
        if (removed) return RunCallbacks::requestChange(*this);
        pendingQueries |= sinkQuery;
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && index == source.index) {
        if (removed) return RunCallbacks::requestChange(*this);
        pendingQueries |= sourceQuery;
    }
    RunCallbacks::sendDeviceQueries(*this);
}

// Anything the server reported while the devices were being chosen is checked against them.
void PulseEngine::RunCallbacks::recheckDevices(Session& s) {
    s.devicesChosen = true;
    if (!s.connection->changedSinceRead()) return;
    s.pendingQueries = serverQuery | sinkQuery | sourceQuery;
    sendDeviceQueries(s);
}

// Also from every tick, for questions held back.
void PulseEngine::RunCallbacks::sendDeviceQueries(Session& s) {
    if (s.pendingQueries == 0 || s.queriesInFlight > 0 || s.closing || !s.context()) return;
    const pa_usec_t now = pa_rtclock_now();
    if (s.lastQueryAt != 0 && now < s.lastQueryAt + deviceQueryInterval) return;
    s.lastQueryAt = now;
    pa_operation* operations[3] = {};
    if (s.pendingQueries & serverQuery) {
        operations[0] = pa_context_get_server_info(s.context(), serverAnswered, &s);
    }
    if (s.pendingQueries & sinkQuery) {
        operations[1] = pa_context_get_sink_info_by_index(s.context(), s.sink.index, deviceAnswered<pa_sink_info>, &s);
    }
    if (s.pendingQueries & sourceQuery) {
        operations[2] =
            pa_context_get_source_info_by_index(s.context(), s.source.index, deviceAnswered<pa_source_info>, &s);
    }
    s.pendingQueries = 0;
    for (pa_operation* operation : operations) {
        if (!operation) continue;
        ++s.queriesInFlight;
        pa_operation_unref(operation);
    }
}

void PulseEngine::RunCallbacks::serverAnswered(pa_context*, const pa_server_info* info, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    --s->queriesInFlight;
    if (!info) return;
    const std::string sinkName = info->default_sink_name ? info->default_sink_name : "";
    const std::string sourceName = info->default_source_name ? info->default_source_name : "";
    // A device the user named stays in use whatever the default becomes.
    const bool sinkChanged = !s->sink.chosenByUser && sinkName != s->sink.name;
    const bool sourceChanged = !s->source.chosenByUser && sourceName != s->source.name;
    if (sinkChanged || sourceChanged) requestChange(*s);
}

template <typename Info>
void PulseEngine::RunCallbacks::deviceAnswered(pa_context*, const Info* info, int eol, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    // Called once with the device and once more at the end of the list, or once when it is gone.
    if (eol != 0) --s->queriesInFlight;
    if (eol != 0 || !info) return;
    const DeviceInfo& used = std::is_same_v<Info, pa_sink_info> ? s->sink : s->source;
    // Another active port is another device to the listener (headphones plugged in).
    const char* port = info->active_port && info->active_port->name ? info->active_port->name : "";
    if (used.activePort != port) requestChange(*s);
}

void PulseEngine::RunCallbacks::streamState(pa_stream* stream, void* userdata) {
    auto* s = static_cast<Session*>(userdata);
    s->connection->wakeWaiters();
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) requestChange(*s);
}

void PulseEngine::RunCallbacks::moved(pa_stream*, void* userdata) { requestChange(*static_cast<Session*>(userdata)); }

void PulseEngine::RunCallbacks::suspended(pa_stream* stream, void* userdata) {
    if (pa_stream_is_suspended(stream) > 0) requestChange(*static_cast<Session*>(userdata));
}

void PulseEngine::RunCallbacks::underflow(pa_stream*, void* userdata) {
    static_cast<Session*>(userdata)->noteDiscontinuity(Discontinuity::renderUnderrun);
}

// Seen at any time, start included. Posting happens from a deferred event, outside the
// library's own callback stacks, once the run has started; after it the run is over for the core.
void PulseEngine::RunCallbacks::requestChange(Session& s) {
    if (s.closing || s.changeRequested) return;
    s.changeRequested = true;
    // Nothing more reaches the old device: what the server still holds is dropped, and the
    // render path writes silence from here on.
    if (s.playback && pa_stream_get_state(s.playback) == PA_STREAM_READY) {
        if (pa_operation* flushed = pa_stream_flush(s.playback, nullptr, nullptr)) pa_operation_unref(flushed);
        s.noteDiscontinuity(Discontinuity::renderDropped);
    }
    if (s.started) s.api()->defer_enable(s.changeEvent, 1);
}

void PulseEngine::RunCallbacks::changed(pa_mainloop_api* api, pa_defer_event* event, void* userdata) {
    api->defer_enable(event, 0);
    auto* s = static_cast<Session*>(userdata);
    CallbackScope scope(s->owner);
    auto engine = s->weakOwner.lock();
    if (engine) engine->postConfigurationChange(*s);
}

void PulseEngine::postConfigurationChange(Session& s) {
    if (s.closing) return;
    deliverConfigurationChange(s);
}

// Until an observer has it: the core adds its observer only after start has returned, and a
// change may come before that.
void PulseEngine::deliverConfigurationChange(Session& s) {
    if (s.closing || s.changeDelivered) return;
    s.changeDelivered =
        notificationCenter_->post(engineConfigurationChangeNotification, static_cast<const AudioEngine*>(this)) > 0;
}

}  // namespace mivo::platform::pulse
