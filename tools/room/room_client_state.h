#pragma once

// What the room client's two halves share: its connection to the server (room_client.cpp) and the
// echo it writes and keeps in place (room_client_echo.cpp), each of which reads on its own.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "echo_path.h"
#include "echo_placement.h"
#include "room_client.h"
#include "room_description.h"

namespace mivo::room::detail {

inline constexpr uint32_t rate = 48000;
inline constexpr size_t fragment = 240;          // 5 ms: how often the monitors deliver
// Written ahead of the echo stream's play position: short enough for a 10 ms room, longer where
// the room's delay leaves room for it, so that a busy machine runs the stream dry less often.
inline size_t leadFor(const RoomDescription& room) {
    const double milliseconds = std::clamp(room.delayMs / 4.0, 7.5, 15.0);
    return static_cast<size_t>(milliseconds * rate / 1000.0);
}
inline constexpr size_t largestBlock = 48000;    // the most one read can hand over (a second)
inline constexpr size_t burstSamples = 4800;     // 100 ms of noise at -20 dBFS
inline constexpr size_t burstListening = 48000;  // how much of the microphone is searched for it

inline uint32_t bytesOf(size_t samples) { return static_cast<uint32_t>(samples * sizeof(float)); }

inline std::vector<float> makeBurst() {
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

}  // namespace mivo::room::detail
