#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct pa_context;
struct pa_mainloop;
struct pa_operation;
struct pa_sink_info;
struct pa_source_info;
struct pa_server_info;

namespace mivo::platform::pulse {

// What the engine and the device query need to know about one sink or source.
struct DeviceInfo {
    uint32_t index = 0;
    std::string name;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    std::string activePort;
};

struct ServerDefaults {
    std::string sinkName;
    std::string sourceName;
};

DeviceInfo deviceInfoOf(const pa_sink_info& info);
DeviceInfo deviceInfoOf(const pa_source_info& info);
ServerDefaults serverDefaultsOf(const pa_server_info& info);

// The name this library's connections give themselves on the server.
inline constexpr const char* clientName = "MivoVoiceIO";

// A short-lived connection driven on the calling thread, for synchronous questions. Every call
// gives up at one deadline fixed at construction, so a server that hangs costs at most that long.
// Never starts a server.
class ServerQuery {
public:
    explicit ServerQuery(std::chrono::steady_clock::duration budget);
    ~ServerQuery();
    ServerQuery(const ServerQuery&) = delete;
    ServerQuery& operator=(const ServerQuery&) = delete;

    std::optional<ServerDefaults> defaults();
    std::optional<DeviceInfo> source(const std::string& name);
    std::optional<DeviceInfo> sink(const std::string& name);

    // The default source or sink, when the server names one and it exists.
    std::optional<DeviceInfo> defaultSource();
    std::optional<DeviceInfo> defaultSink();

private:
    bool connect();
    template <typename Done>
    bool runUntil(Done done);
    bool await(pa_operation* operation);

    const std::chrono::steady_clock::time_point deadline_;
    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool attempted_ = false;
    bool ready_ = false;
    bool failed_ = false;
};

}  // namespace mivo::platform::pulse
