#include "mivo_duplex/check/server_survey.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace mivo::duplex::check {

namespace {

struct Conversation {
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_server_info server{};
    std::string serverName, serverVersion, defaultSink, defaultSource;
    std::map<uint32_t, std::string> modules;  // index -> name
    std::vector<DeviceInfo> sinks, sources;
    std::map<std::string, uint32_t> ownerModule;  // device name -> module index
    int pending = 0;
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string property(const pa_proplist* list, const char* key) {
    const char* value = list ? pa_proplist_gets(list, key) : nullptr;
    return value ? value : "";
}

// PulseAudio's module-echo-cancel and PipeWire's echo-cancel node both say so in their names
// or properties; nothing else on a server does.
bool mentionsCanceller(const std::string& text) {
    const std::string l = lower(text);
    return l.find("echo-cancel") != std::string::npos || l.find("echo_cancel") != std::string::npos;
}

template <typename Info>
DeviceInfo describe(const Info* info) {
    DeviceInfo device;
    device.name = info->name ? info->name : "";
    device.description = info->description ? info->description : "";
    device.rate = info->sample_spec.rate;
    device.channels = info->sample_spec.channels;
    device.master = property(info->proplist, "device.master_device");
    char* all = pa_proplist_to_string(info->proplist);
    const bool canceller = mentionsCanceller(device.name) || mentionsCanceller(info->driver ? info->driver : "") ||
                           (all && mentionsCanceller(all));
    if (all) pa_xfree(all);
    if (canceller) device.canceller = device.description.empty() ? device.name : device.description;
    return device;
}

void onServer(pa_context*, const pa_server_info* info, void* data) {
    auto* c = static_cast<Conversation*>(data);
    if (info) {
        c->serverName = info->server_name ? info->server_name : "";
        c->serverVersion = info->server_version ? info->server_version : "";
        c->defaultSink = info->default_sink_name ? info->default_sink_name : "";
        c->defaultSource = info->default_source_name ? info->default_source_name : "";
    }
    --c->pending;
}

void onModule(pa_context*, const pa_module_info* info, int eol, void* data) {
    auto* c = static_cast<Conversation*>(data);
    if (eol) --c->pending;
    else if (info && info->name) c->modules[info->index] = info->name;
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* c = static_cast<Conversation*>(data);
    if (eol) return void(--c->pending);
    if (!info) return;
    c->sinks.push_back(describe(info));
    c->ownerModule[c->sinks.back().name] = info->owner_module;
}

void onSource(pa_context*, const pa_source_info* info, int eol, void* data) {
    auto* c = static_cast<Conversation*>(data);
    if (eol) return void(--c->pending);
    if (!info) return;
    c->sources.push_back(describe(info));
    c->sources.back().monitorOf = info->monitor_of_sink_name ? info->monitor_of_sink_name : "";
    c->ownerModule[c->sources.back().name] = info->owner_module;
}

bool connect(Conversation& c, std::string& failure) {
    c.loop = pa_mainloop_new();
    c.context = pa_context_new(pa_mainloop_get_api(c.loop), "mivo-duplex check");
    if (pa_context_connect(c.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failure = std::string("cannot reach the sound server: ") + pa_strerror(pa_context_errno(c.context));
        return false;
    }
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(c.context);
        if (state == PA_CONTEXT_READY) return true;
        if (!PA_CONTEXT_IS_GOOD(state) || pa_mainloop_iterate(c.loop, 1, nullptr) < 0) {
            failure = std::string("cannot reach the sound server: ") + pa_strerror(pa_context_errno(c.context));
            return false;
        }
    }
}

bool ask(Conversation& c, std::string& failure) {
    c.pending = 4;
    for (pa_operation* operation :
         {pa_context_get_server_info(c.context, onServer, &c), pa_context_get_module_info_list(c.context, onModule, &c),
          pa_context_get_sink_info_list(c.context, onSink, &c),
          pa_context_get_source_info_list(c.context, onSource, &c)}) {
        if (operation) pa_operation_unref(operation);
        else --c.pending;
    }
    while (c.pending > 0) {
        if (pa_mainloop_iterate(c.loop, 1, nullptr) < 0 || pa_context_get_state(c.context) != PA_CONTEXT_READY) {
            failure = "the sound server went away while it was asked about its devices";
            return false;
        }
    }
    return true;
}

const DeviceInfo* find(const std::vector<DeviceInfo>& devices, const std::string& name) {
    for (const DeviceInfo& device : devices)
        if (device.name == name) return &device;
    return nullptr;
}

// PipeWire answers "PulseAudio (on PipeWire x.y.z)": the server is PipeWire.
std::string serverText(const Conversation& c) {
    const auto on = c.serverName.find("on PipeWire ");
    if (on != std::string::npos) {
        std::string version = c.serverName.substr(on + 12);
        if (!version.empty() && version.back() == ')') version.pop_back();
        return "PipeWire " + version;
    }
    return (lower(c.serverName) == "pulseaudio" ? "PulseAudio" : c.serverName) + " " + c.serverVersion;
}

void markModuleCancellers(Conversation& c) {
    for (auto* devices : {&c.sinks, &c.sources}) {
        for (DeviceInfo& device : *devices) {
            const auto owner = c.ownerModule.find(device.name);
            if (owner == c.ownerModule.end()) continue;
            const auto module = c.modules.find(owner->second);
            if (module != c.modules.end() && mentionsCanceller(module->second) && device.canceller.empty())
                device.canceller = module->second;
        }
    }
}

}  // namespace

bool surveyServer(ServerSurvey& survey, std::string& failure) {
    Conversation c;
    const bool ok = connect(c, failure) && ask(c, failure);
    if (c.context) {
        pa_context_disconnect(c.context);
        pa_context_unref(c.context);
    }
    if (c.loop) pa_mainloop_free(c.loop);
    if (!ok) return false;
    markModuleCancellers(c);
    const DeviceInfo* sink = find(c.sinks, c.defaultSink);
    const DeviceInfo* source = find(c.sources, c.defaultSource);
    if (!sink || !source) {
        failure = "No default input or output audio device is available";
        return false;
    }
    survey.server = serverText(c);
    survey.sink = *sink;
    survey.source = *source;
    // Behind a filter the measurement wants the device itself: what the loudspeaker really
    // played, what the microphone really heard.
    const DeviceInfo* realSink = sink->master.empty() ? sink : find(c.sinks, sink->master);
    survey.speakerMonitor = (realSink ? realSink->name : sink->name) + ".monitor";
    const DeviceInfo* realSource = source->master.empty() ? source : find(c.sources, source->master);
    survey.rawMicrophone = realSource ? realSource->name : source->name;
    // A canceller comes as a source and a sink; its source names it once.
    for (const DeviceInfo& device : c.sources) {
        if (device.canceller.empty() || !device.monitorOf.empty() || device.name == source->name) continue;
        survey.cancellersElsewhere.push_back(device.name);
    }
    return true;
}

}  // namespace mivo::duplex::check
