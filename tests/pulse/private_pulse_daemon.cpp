#include "private_pulse_daemon.h"

#include <dirent.h>
#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace mivo::testing {

namespace {

using Clock = std::chrono::steady_clock;

int64_t ticks(Clock::time_point time) { return time.time_since_epoch().count(); }
Clock::time_point fromTicks(int64_t value) { return Clock::time_point(Clock::duration(value)); }

std::string trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

size_t countEntries(const char* path) {
    DIR* directory = opendir(path);
    if (!directory) return 0;
    size_t count = 0;
    while (dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count;
}

}  // namespace

PrivatePulseDaemon::PrivatePulseDaemon(std::string room, room::DeviceFormats formats)
    : room_(std::move(room)), server_(room::serverKindFromEnvironment(), std::move(formats)) {}

PrivatePulseDaemon::~PrivatePulseDaemon() = default;

bool PrivatePulseDaemon::start(std::string* failure) {
    if (running()) return true;
    std::string reason;
    // A fresh PipeWire graph now and then never lets the room's streams start; a second, clean
    // start has always come up where that happened.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) server_.stop();
        reason.clear();
        if (!server_.start(&reason)) continue;
        roomState_ = server_.startRoom(MIVO_ROOM_TOOL, MIVO_ROOMS_FILE, room_, &reason);
        if (!roomState_.empty()) return true;
    }
    if (failure) *failure = "the private " + std::string(room::serverName(server_.kind())) + " server did not start: " + reason;
    server_.stop();
    return false;
}

void PrivatePulseDaemon::kill() { server_.kill(); }
void PrivatePulseDaemon::freeze() { server_.freeze(); }
void PrivatePulseDaemon::thaw() { server_.thaw(); }

int PrivatePulseDaemon::pactl(const std::string& arguments, std::string* output) const {
    return server_.pactl(arguments, output);
}

std::string PrivatePulseDaemon::pactlOutput(const std::string& arguments) const {
    std::string output;
    return pactl(arguments, &output) == 0 ? trim(output) : std::string();
}

long PrivatePulseDaemon::indexOf(const std::string& kind, const std::string& name) const {
    std::istringstream lines(pactlOutput("list short " + kind));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        long index = -1;
        std::string second;
        fields >> index >> second;
        if (second == name) return index;
    }
    return -1;
}

long PrivatePulseDaemon::moduleOf(const std::string& kind, const std::string& name) const {
    // `pactl list <kind>` prints "Name: <name>" and later "Owner Module: <n>" for each device.
    std::istringstream lines(pactlOutput("list " + kind));
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        const auto text = line.substr(line.find_first_not_of(" \t") == std::string::npos
                                          ? line.size()
                                          : line.find_first_not_of(" \t"));
        if (text.rfind("Name: ", 0) == 0) inside = text.substr(6) == name;
        if (inside && text.rfind("Owner Module: ", 0) == 0) return std::stol(text.substr(14));
    }
    return -1;
}

bool PrivatePulseDaemon::killStream(const std::string& kind, long index) const {
    if (index < 0) return false;
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "mivo-test-killer");
    struct Outcome {
        bool done = false;
        bool success = false;
    } outcome;
    bool requested = false;
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (!outcome.done && Clock::now() < deadline) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (!PA_CONTEXT_IS_GOOD(state)) break;
        if (state == PA_CONTEXT_READY && !requested) {
            requested = true;
            const auto finished = [](pa_context*, int success, void* userdata) {
                auto* result = static_cast<Outcome*>(userdata);
                result->done = true;
                result->success = success != 0;
            };
            pa_operation* operation =
                kind == "sink-input"
                    ? pa_context_kill_sink_input(context, static_cast<uint32_t>(index), finished, &outcome)
                    : pa_context_kill_source_output(context, static_cast<uint32_t>(index), finished, &outcome);
            if (operation) pa_operation_unref(operation);
        }
        pa_mainloop_iterate(loop, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return outcome.success;
}

bool PrivatePulseDaemon::loadNullSink(const std::string& name, unsigned rate, unsigned channels) const {
    return pactl("load-module module-null-sink sink_name=" + name + " rate=" + std::to_string(rate) +
                 " channels=" + std::to_string(channels)) == 0 &&
           pactl("suspend-sink " + name + " 1") == 0 && pactl("suspend-sink " + name + " 0") == 0;
}

SignalPlayer::SignalPlayer(std::string sink, std::vector<float> samples, bool loop, uint32_t latencyMilliseconds,
                           ChannelGains channels)
    : sink_(std::move(sink)),
      samples_(std::move(samples)),
      loop_(loop),
      latency_(latencyMilliseconds),
      channels_(std::move(channels)) {
    thread_ = std::thread([this] { run(); });
}

SignalPlayer::~SignalPlayer() { stop(); }

void SignalPlayer::stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::chrono::steady_clock::time_point SignalPlayer::started() const { return fromTicks(started_.load()); }

void SignalPlayer::run() {
    const std::vector<float> gains = channels_.gains.empty() ? std::vector<float>{1.0f} : channels_.gains;
    const size_t width = gains.size();
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, 48000, static_cast<uint8_t>(width)};
    pa_channel_map map;
    const bool mapped = !channels_.map.empty();
    if (mapped && (!pa_channel_map_parse(&map, channels_.map.c_str()) || map.channels != width)) {
        failed_.store(true);
        return;
    }
    const uint32_t bytes = latency_ * 48 * static_cast<uint32_t>(width * sizeof(float));
    pa_buffer_attr attributes{static_cast<uint32_t>(-1), bytes, static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                              static_cast<uint32_t>(-1)};
    int error = 0;
    pa_simple* client =
        pa_simple_new(nullptr, "mivo-test-talker", PA_STREAM_PLAYBACK, sink_.c_str(), "signal", &sampleFormat,
                      mapped ? &map : nullptr, &attributes, &error);
    if (!client) {
        failed_.store(true);
        return;
    }
    const size_t chunk = 240;  // 5 ms
    std::vector<float> frames(chunk * width);
    size_t at = 0;
    bool first = true;
    while (!stopping_.load()) {
        if (at >= samples_.size()) {
            if (!loop_ || samples_.empty()) break;
            at = 0;
        }
        const size_t count = std::min(chunk, samples_.size() - at);
        if (first) {
            started_.store(ticks(Clock::now()));
            first = false;
        }
        for (size_t i = 0; i < count; ++i) {
            for (size_t c = 0; c < width; ++c) frames[i * width + c] = samples_[at + i] * gains[c];
        }
        if (pa_simple_write(client, frames.data(), count * width * sizeof(float), &error) < 0) {
            failed_.store(true);
            break;
        }
        at += count;
    }
    if (!failed_.load() && !stopping_.load()) pa_simple_drain(client, &error);
    pa_simple_free(client);
}

Recorder::Recorder(std::string source, uint32_t fragmentMilliseconds, uint32_t channels, uint32_t kept,
                   std::string map)
    : source_(std::move(source)),
      fragment_(fragmentMilliseconds),
      channels_(channels),
      kept_(kept),
      map_(std::move(map)) {
    samples_.reserve(48000 * 30);
    thread_ = std::thread([this] { run(); });
}

Recorder::~Recorder() { stop(); }

void Recorder::stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::vector<float> Recorder::samples() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return samples_;
}

size_t Recorder::frames() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return samples_.size();
}

std::chrono::steady_clock::time_point Recorder::arrivalOf(size_t index) const {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& [end, when] : chunks_) {
        if (index < end) return when;
    }
    return chunks_.empty() ? Clock::time_point{} : chunks_.back().second;
}

bool Recorder::waitForFrames(size_t frames, std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (this->frames() >= frames) return true;
        if (failed_.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return this->frames() >= frames;
}

void Recorder::run() {
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, 48000, static_cast<uint8_t>(channels_)};
    const uint32_t fragment = fragment_ * 48 * channels_ * sizeof(float);
    pa_buffer_attr attributes{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                              static_cast<uint32_t>(-1), fragment};
    int error = 0;
    pa_channel_map map;
    const bool mapped = !map_.empty();
    if (mapped && (!pa_channel_map_parse(&map, map_.c_str()) || map.channels != channels_)) {
        failed_.store(true);
        return;
    }
    pa_simple* client = pa_simple_new(nullptr, "mivo-test-listener", PA_STREAM_RECORD, source_.c_str(), "listen",
                                      &sampleFormat, mapped ? &map : nullptr, &attributes, &error);
    if (!client) {
        failed_.store(true);
        return;
    }
    std::vector<float> chunk(size_t{fragment_} * 48 * channels_);
    while (!stopping_.load()) {
        if (pa_simple_read(client, chunk.data(), chunk.size() * sizeof(float), &error) < 0) {
            failed_.store(true);
            break;
        }
        const auto now = Clock::now();
        std::lock_guard<std::mutex> hold(mutex_);
        for (size_t i = kept_; i < chunk.size(); i += channels_) samples_.push_back(chunk[i]);
        chunks_.emplace_back(samples_.size(), now);
    }
    pa_simple_free(client);
}

size_t threadCount() { return countEntries("/proc/self/task"); }
size_t openFileCount() { return countEntries("/proc/self/fd"); }

size_t residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    size_t total = 0;
    size_t resident = 0;
    statm >> total >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

}  // namespace mivo::testing
