#include "platform/pulse/server_query.h"

#include <pulse/pulseaudio.h>

#include <climits>

namespace mivo::platform::pulse {

namespace {

template <typename Info>
DeviceInfo describe(const Info& info) {
    DeviceInfo device;
    device.index = info.index;
    device.name = info.name ? info.name : "";
    device.sampleRate = info.sample_spec.rate;
    device.channels = info.sample_spec.channels;
    if (info.active_port && info.active_port->name) device.activePort = info.active_port->name;
    return device;
}

struct DeviceAnswer {
    bool done = false;
    std::optional<DeviceInfo> device;
};

template <typename Info>
void onDevice(pa_context*, const Info* info, int eol, void* userdata) {
    auto* answer = static_cast<DeviceAnswer*>(userdata);
    if (eol == 0 && info) {
        answer->device = describe(*info);
        return;
    }
    // eol > 0 ends the list; eol < 0 means there is no such device.
    answer->done = true;
}

}  // namespace

DeviceInfo deviceInfoOf(const pa_sink_info& info) { return describe(info); }
DeviceInfo deviceInfoOf(const pa_source_info& info) { return describe(info); }

ServerDefaults serverDefaultsOf(const pa_server_info& info) {
    ServerDefaults defaults;
    if (info.default_sink_name) defaults.sinkName = info.default_sink_name;
    if (info.default_source_name) defaults.sourceName = info.default_source_name;
    return defaults;
}

ServerQuery::ServerQuery(std::chrono::steady_clock::duration budget)
    : deadline_(std::chrono::steady_clock::now() + budget) {}

ServerQuery::~ServerQuery() {
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_) pa_mainloop_free(loop_);
}

template <typename Done>
bool ServerQuery::runUntil(Done done) {
    while (!done()) {
        if (failed_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline_) return false;
        const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - now).count();
        const int timeout = remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining) + 1;
        if (pa_mainloop_prepare(loop_, timeout) < 0) return false;
        if (pa_mainloop_poll(loop_) < 0) return false;
        if (pa_mainloop_dispatch(loop_) < 0) return false;
    }
    return true;
}

bool ServerQuery::connect() {
    if (attempted_) return ready_;
    attempted_ = true;
    loop_ = pa_mainloop_new();
    if (!loop_) return false;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName);
    context_ = pa_context_new_with_proplist(pa_mainloop_get_api(loop_), clientName, properties);
    pa_proplist_free(properties);
    if (!context_) return false;
    pa_context_set_state_callback(
        context_,
        [](pa_context* context, void* userdata) {
            auto* self = static_cast<ServerQuery*>(userdata);
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) self->ready_ = true;
            if (!PA_CONTEXT_IS_GOOD(state)) self->failed_ = true;
        },
        this);
    // Asking never starts a server that is not there.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    if (!runUntil([this] { return ready_; })) ready_ = false;
    return ready_;
}

bool ServerQuery::await(pa_operation* operation) {
    if (!operation) return false;
    const bool finished = runUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    if (!finished) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return finished;
}

std::optional<ServerDefaults> ServerQuery::defaults() {
    if (!connect()) return std::nullopt;
    struct Answer {
        std::optional<ServerDefaults> defaults;
    } answer;
    pa_operation* operation = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            if (info) static_cast<Answer*>(userdata)->defaults = serverDefaultsOf(*info);
        },
        &answer);
    if (!await(operation)) return std::nullopt;
    return answer.defaults;
}

std::optional<DeviceInfo> ServerQuery::source(const std::string& name) {
    if (name.empty() || !connect()) return std::nullopt;
    DeviceAnswer answer;
    if (!await(pa_context_get_source_info_by_name(context_, name.c_str(), onDevice<pa_source_info>, &answer))) {
        return std::nullopt;
    }
    return answer.device;
}

std::optional<DeviceInfo> ServerQuery::sink(const std::string& name) {
    if (name.empty() || !connect()) return std::nullopt;
    DeviceAnswer answer;
    if (!await(pa_context_get_sink_info_by_name(context_, name.c_str(), onDevice<pa_sink_info>, &answer))) {
        return std::nullopt;
    }
    return answer.device;
}

std::optional<DeviceInfo> ServerQuery::defaultSource() {
    const auto names = defaults();
    if (!names) return std::nullopt;
    return source(names->sourceName);
}

std::optional<DeviceInfo> ServerQuery::defaultSink() {
    const auto names = defaults();
    if (!names) return std::nullopt;
    return sink(names->sinkName);
}

}  // namespace mivo::platform::pulse
