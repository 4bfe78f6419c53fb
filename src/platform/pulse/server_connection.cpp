#include "platform/pulse/server_connection.h"

#include <pulse/pulseaudio.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace mivo::platform::pulse {

namespace {

template <typename Info>
DeviceInfo describe(const Info& info) {
    DeviceInfo device;
    device.index = info.index;
    device.name = info.name ? info.name : "";
    device.sampleRate = info.sample_spec.rate;
    device.channels = info.sample_spec.channels;
    for (uint8_t c = 0; c < info.channel_map.channels; ++c) device.channelPositions.push_back(info.channel_map.map[c]);
    if (info.active_port && info.active_port->name) device.activePort = info.active_port->name;
    return device;
}

template <typename Info>
void keepDevice(pa_context*, const Info* info, int eol, void* userdata) {
    // eol > 0 ends the list; eol < 0 means there is no such device.
    if (eol == 0 && info) *static_cast<std::optional<DeviceInfo>*>(userdata) = describe(*info);
}

// The loop thread carries the audio: a few tens of milliseconds without the CPU and the playback
// stream runs dry, which costs the echo canceller its alignment. It asks to go ahead of ordinary
// work, as the server's own threads do; where the system does not allow it, it stays as it is.
constexpr int audioThreadNice = -11;

void raiseLoopThreadPriority(pa_threaded_mainloop*, void*) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), audioThreadNice);
}

// With no sink left, either server puts up a placeholder sink that plays to nowhere and makes it,
// or its monitor, the default; to a host that is no device at all.
void dropPlaceholder(std::optional<DeviceInfo>& device) {
    if (device && (device->name == "auto_null" || device->name == "auto_null.monitor")) device.reset();
}

// libpulse applies these only to streams connected without a device name, as paplay's are; the
// engine names its devices, because it must know a device's channels before connecting and watch
// that very device afterwards, so it reads them the same way.
const char* userChoice(const char* variable) {
    const char* name = std::getenv(variable);
    return name && *name ? name : nullptr;
}

}  // namespace

struct ServerConnection::Callbacks {
    static void contextState(pa_context* context, void* userdata) {
        auto* self = static_cast<ServerConnection*>(userdata);
        self->wakeWaiters();
        if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return;
        self->usable_.store(false, std::memory_order_release);
        self->changed_.store(true, std::memory_order_release);
        if (self->events_) self->events_->connectionLost();
    }

    static void subscription(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* userdata) {
        auto* self = static_cast<ServerConnection*>(userdata);
        self->changed_.store(true, std::memory_order_release);
        if (self->events_) self->events_->serverEvent(type, index);
    }

    static void wake(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        static_cast<ServerConnection*>(userdata)->wakeWaiters();
    }

    static void expired(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* userdata) {
        auto* self = static_cast<ServerConnection*>(userdata);
        api->time_free(event);
        self->expiry_ = nullptr;
        self->disconnect();
        self->quitLoop();
    }
};

std::string Deadline::missedText() const {
    return "The PulseAudio server did not answer within " + std::to_string(budget_.count()) + " ms";
}

MainloopLock::MainloopLock(pa_threaded_mainloop* loop, std::atomic<int>* waiting) : loop_(loop) {
    if (waiting) waiting->fetch_add(1);
    pa_threaded_mainloop_lock(loop_);
    if (waiting) waiting->fetch_sub(1);
}
MainloopLock::~MainloopLock() { pa_threaded_mainloop_unlock(loop_); }

std::unique_ptr<ServerConnection> ServerConnection::open(const Deadline& deadline, std::string& failure) {
    std::unique_ptr<ServerConnection> connection(new ServerConnection);
    if (!connection->connect(deadline, failure)) return nullptr;
    return connection;
}

bool ServerConnection::connect(const Deadline& deadline, std::string& failure) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) {
        failure = "Unable to create the PulseAudio event loop";
        return false;
    }
    pa_threaded_mainloop_set_name(loop_, "mivo-audio");
    api_ = pa_threaded_mainloop_get_api(loop_);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName);
    context_ = pa_context_new_with_proplist(api_, clientName, properties);
    pa_proplist_free(properties);
    if (!context_) {
        failure = "Unable to create a PulseAudio context";
        return false;
    }
    pa_context_set_state_callback(context_, Callbacks::contextState, this);
    // Never start a server: with none running, connecting fails.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failure = "Unable to connect to the PulseAudio server: " + errorText();
        return false;
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
        failure = "Unable to start the PulseAudio event loop";
        return false;
    }

    MainloopLock hold(loop_);
    // Under the lock: the loop thread may run and free the event it makes at once.
    pa_threaded_mainloop_once_unlocked(loop_, raiseLoopThreadPriority, nullptr);
    const bool settled = waitUntil(deadline, [this] {
        const pa_context_state_t state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
        failure = settled ? "Unable to connect to the PulseAudio server: " + errorText() : deadline.missedText();
        return false;
    }
    usable_.store(true, std::memory_order_release);
    // Subscribed before anything is read, so that no change can fall between reading and watching.
    pa_context_set_subscribe_callback(context_, Callbacks::subscription, this);
    const auto watched =
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                            PA_SUBSCRIPTION_MASK_SOURCE);
    if (!await(pa_context_subscribe(context_, watched, nullptr, nullptr), deadline)) {
        failure = deadline.missedText();
        return false;
    }
    return true;
}

ServerConnection::~ServerConnection() {
    if (!loop_) return;
    {
        MainloopLock hold(loop_);
        if (expiry_) api_->time_free(expiry_);
        expiry_ = nullptr;
        disconnect();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

std::string ServerConnection::errorText() const {
    return context_ ? pa_strerror(pa_context_errno(context_)) : "no connection";
}

std::optional<DefaultDevices> ServerConnection::readDefaults(const Deadline& deadline) {
    if (!context_) return std::nullopt;
    changed_.store(false, std::memory_order_release);
    DefaultDevices answer;
    const char* chosenSource = userChoice("PULSE_SOURCE");
    const char* chosenSink = userChoice("PULSE_SINK");
    // Both asked at once: one round trip. The server resolves the default names itself.
    pa_operation* source = pa_context_get_source_info_by_name(
        context_, chosenSource ? chosenSource : "@DEFAULT_SOURCE@", keepDevice<pa_source_info>, &answer.source);
    pa_operation* sink = pa_context_get_sink_info_by_name(context_, chosenSink ? chosenSink : "@DEFAULT_SINK@",
                                                          keepDevice<pa_sink_info>, &answer.sink);
    const bool sourceAnswered = await(source, deadline);
    const bool sinkAnswered = await(sink, deadline);
    if (!sourceAnswered || !sinkAnswered) return std::nullopt;
    if (answer.source) answer.source->chosenByUser = chosenSource != nullptr;
    if (answer.sink) answer.sink->chosenByUser = chosenSink != nullptr;
    if (!chosenSource) dropPlaceholder(answer.source);
    if (!chosenSink) dropPlaceholder(answer.sink);
    lastDefaults_ = answer;
    return answer;
}

bool ServerConnection::waitUntil(const Deadline& deadline, FunctionRef<bool()> done) {
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline.at()) return false;
        // Nothing left to wake this wait once the connection is gone.
        if (!context_) return false;
        const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline.at() - now).count();
        pa_time_event* alarm = pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(remaining),
                                                     Callbacks::wake, this);
        pa_threaded_mainloop_wait(loop_);
        if (alarm) api_->time_free(alarm);
    }
    return true;
}

bool ServerConnection::await(pa_operation* operation, const Deadline& deadline) {
    if (!operation) return false;
    // Some operations have no result callback of their own; every one wakes the waiter.
    pa_operation_set_state_callback(
        operation, [](pa_operation*, void* self) { static_cast<ServerConnection*>(self)->wakeWaiters(); }, this);
    const bool finished = waitUntil(deadline, [&] {
        return pa_operation_get_state(operation) != PA_OPERATION_RUNNING || !context_ ||
               !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    });
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return finished && done;
}

void ServerConnection::wakeWaiters() { pa_threaded_mainloop_signal(loop_, 0); }

void ServerConnection::expireWhenIdle(std::chrono::milliseconds idle) {
    claim();
    if (!context_) return;
    const auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(idle).count();
    expiry_ = pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(microseconds),
                                    Callbacks::expired, this);
}

void ServerConnection::claim() {
    if (expiry_) api_->time_free(expiry_);
    expiry_ = nullptr;
}

void ServerConnection::disconnect() {
    usable_.store(false, std::memory_order_release);
    if (!context_) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void ServerConnection::quitLoop() {
    api_->quit(api_, 0);
    // A thread waiting on the server wakes and finds the connection gone.
    wakeWaiters();
}

}  // namespace mivo::platform::pulse
