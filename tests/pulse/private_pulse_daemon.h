#pragma once

// A private sound server for tests, never the user's: its own runtime directory and HOME,
// PULSE_SERVER pointing at its socket, started as child processes that die with the test.
// MIVO_TEST_SERVER=pipewire runs PipeWire (with WirePlumber, pipewire-pulse and a D-Bus session
// bus of its own) instead of the PulseAudio daemon; the room is the same on both.
//
// The virtual room (tools/room/rooms.conf names every room; "loopback-60" unless asked):
//   speaker          null sink, 48 kHz mono float, the default sink (what the library plays into)
//   room             null sink, 48 kHz mono float; room.monitor is the default source (the "microphone")
// (either in another format when room::DeviceFormats asks)
//   speaker.monitor  -> room: the echo path, module-loopback 60 ms late or a room of mivo-room
// A client that plays into "room" is the near-end talker.

#include <sys/types.h>

#include "signal_measures.h"
#include "sound_server.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mivo::testing {

class PrivatePulseDaemon {
public:
    // Prepares the directory and the environment of this process; start() runs the server and
    // applies `room`.
    explicit PrivatePulseDaemon(std::string room = "loopback-60", room::DeviceFormats formats = {});
    // Kills the server and removes the directory.
    ~PrivatePulseDaemon();
    PrivatePulseDaemon(const PrivatePulseDaemon&) = delete;
    PrivatePulseDaemon& operator=(const PrivatePulseDaemon&) = delete;

    // Starts the server, makes the room and waits until its echo is in place; false (with the
    // server's log in `failure`) when that does not happen within 10 s.
    bool start(std::string* failure = nullptr);
    // SIGKILL, like a crash: clients see their connection drop.
    void kill();
    // SIGSTOP / SIGCONT: a server that stops answering without closing its socket.
    void freeze();
    void thaw();
    bool running() const { return server_.running(); }
    room::ServerKind server() const { return server_.kind(); }
    // The room's "ready delay_ms=... floor_ms=..." line once start() succeeded.
    const std::string& roomState() const { return roomState_; }
    // Every process started for the server and the room and not yet reaped.
    std::vector<pid_t> processes() const { return server_.processes(); }

    // Runs pactl against the daemon; the exit status, and what it printed in `output`.
    int pactl(const std::string& arguments, std::string* output = nullptr) const;
    // pactl's answer, trimmed; empty when it failed.
    std::string pactlOutput(const std::string& arguments) const;
    // The index of a sink, source or module named in `pactl list short <kind>`, or -1.
    long indexOf(const std::string& kind, const std::string& name) const;
    // The index of the module that created the sink or source `name`, or -1.
    long moduleOf(const std::string& kind, const std::string& name) const;

    // Has the server kill a playback stream (sink input) or record stream (source output), as
    // a sound settings tool would; pactl has no command for it.
    bool killStream(const std::string& kind, long index) const;
    // Loads another null sink and restarts it at a short latency (see the room's script).
    bool loadNullSink(const std::string& name, unsigned rate, unsigned channels) const;

    const std::string& directory() const { return server_.directory(); }
    std::string log() const { return server_.log(); }
    // What the room's own client has said (where it could not place the echo, or had to place it
    // again); empty for module-loopback's rooms.
    std::string roomLog() const { return server_.roomLog(); }

private:
    const std::string room_;
    room::PrivateSoundServer server_;
    std::string roomState_;
};

// How a SignalPlayer spreads its signal over the channels of its stream: one channel per gain
// (mono when there are none), in the positions of `map` (pactl's channel_map syntax; the server's
// default for that many channels when empty). Match the sink's map, or the server remaps.
struct ChannelGains {
    std::vector<float> gains;
    std::string map;
};

// Plays 48 kHz float samples into a sink through a plain PulseAudio client, on a thread of its
// own, once or over and over, until stopped: mono, or on several channels at a gain each.
class SignalPlayer {
public:
    SignalPlayer(std::string sink, std::vector<float> samples, bool loop, uint32_t latencyMilliseconds = 60,
                 ChannelGains channels = {});
    ~SignalPlayer();
    void stop();
    // When the first sample was handed to the server.
    std::chrono::steady_clock::time_point started() const;
    bool failed() const { return failed_.load(); }

private:
    void run();

    const std::string sink_;
    const std::vector<float> samples_;
    const bool loop_;
    const uint32_t latency_;
    const ChannelGains channels_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    std::atomic<int64_t> started_{0};
    std::thread thread_;
};

// Records a source (mono 48 kHz float) through a plain PulseAudio client on a thread of its own,
// noting when each chunk arrived. With `channels` above one it records that many, in the
// positions of `map` (pactl's syntax; the server's default when empty), and keeps channel `kept`
// alone, so that no channel mixing is in the way.
class Recorder {
public:
    explicit Recorder(std::string source, uint32_t fragmentMilliseconds = 5, uint32_t channels = 1,
                      uint32_t kept = 0, std::string map = {});
    ~Recorder();
    void stop();

    std::vector<float> samples() const;
    size_t frames() const;
    // Arrival time of the chunk that held frame `index` (steady clock); frames before the first
    // chunk count as arriving with it.
    std::chrono::steady_clock::time_point arrivalOf(size_t index) const;
    bool failed() const { return failed_.load(); }
    // Waits until at least `frames` frames have arrived, up to `timeout`.
    bool waitForFrames(size_t frames, std::chrono::milliseconds timeout) const;

private:
    void run();

    const std::string source_;
    const uint32_t fragment_;
    const uint32_t channels_;
    const uint32_t kept_;
    const std::string map_;
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::vector<std::pair<size_t, std::chrono::steady_clock::time_point>> chunks_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

// Counts of what this process holds right now.
size_t threadCount();
size_t openFileCount();
size_t residentKilobytes();

}  // namespace mivo::testing
