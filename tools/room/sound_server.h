#pragma once

// A private sound server with the virtual room's devices, never the user's: PulseAudio, or
// PipeWire with WirePlumber, pipewire-pulse and a D-Bus session bus of its own. Everything it
// starts is a child of this process that dies with it, and stop() leaves none of them running.
//
// The devices, the same on either server:
//   speaker          null sink, 48 kHz mono float unless DeviceFormats says otherwise, the default
//                    sink (what the library plays into)
//   room             null sink, 48 kHz mono float unless DeviceFormats says otherwise; room.monitor
//                    is the default source (the microphone)
// The echo path between them is a room (rooms.conf), applied by `mivo-room echo`; its streams
// stay 48 kHz mono and the server converts them to and from whatever the devices are.

#include <sys/types.h>

#include <string>
#include <vector>

namespace mivo::room {

enum class ServerKind { pulseaudio, pipewire };

// The formats of the two devices: the microphone and the loudspeaker of another machine. On
// PulseAudio a speaker keeps a rate other than 48 kHz only when the room has the same rate.
struct DeviceFormats {
    unsigned roomRate = 48000;
    unsigned roomChannels = 1;
    // pactl's channel_map= for the room; the server's default for its channel count when empty.
    std::string roomChannelMap;
    unsigned speakerRate = 48000;
    unsigned speakerChannels = 1;
};

// MIVO_TEST_SERVER=pulseaudio (the default) or pipewire; throws on anything else.
ServerKind serverKindFromEnvironment();
const char* serverName(ServerKind kind);

class PrivateSoundServer {
public:
    // Makes the server's folder and points this process's environment at it, so that every
    // client started from here reaches this server and no other.
    explicit PrivateSoundServer(ServerKind kind, DeviceFormats formats = {});
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Starts the server and makes the devices; false, with the reason and the logs, if it does
    // not answer within 10 s.
    bool start(std::string* failure);
    // Applies a room from `roomsFile` with the `mivo-room` program at `roomTool`; waits for the
    // echo to be in place and returns its "ready ..." line, or empty (reason in `failure`). A room
    // whose echo came up far later than described is started again, up to three times in all.
    std::string startRoom(const std::string& roomTool, const std::string& roomsFile, const std::string& room,
                          std::string* failure);
    void stopRoom();

    // SIGKILL, like a crash: the process clients talk to first, then the rest of the server.
    void kill();
    // SIGSTOP / SIGCONT of the process clients talk to: a server that stops answering.
    void freeze();
    void thaw();
    // SIGTERM to everything, SIGKILL to what is still there after 2 s; reaps all of it.
    void stop();

    bool running() const;
    // The name of a started process that has ended on its own (and is reaped now), or empty.
    std::string endedProcess();
    ServerKind kind() const { return kind_; }
    const DeviceFormats& formats() const { return formats_; }
    // The process clients talk to (pulseaudio or pipewire-pulse), or -1.
    pid_t clientFacing() const;
    // Every process started and not yet reaped.
    std::vector<pid_t> processes() const;

    int pactl(const std::string& arguments, std::string* output = nullptr) const;
    bool restartSinks() const;
    const std::string& directory() const { return directory_; }
    // The variables that point a client at this server, as NAME=value lines.
    std::string environment() const;
    // Every process's log, one after the other.
    std::string log() const;
    // The room client's log alone: where it placed the echo, and any time it had to place it again.
    std::string roomLog() const;

private:
    std::string startRoomOnce(const std::string& roomTool, const std::string& roomsFile, const std::string& room,
                              std::string* failure);

    struct Child {
        std::string name;
        pid_t pid = -1;
    };

    pid_t launch(const std::string& name, std::vector<std::string> arguments);
    // Where launch() sends a process's output.
    std::string logPathOf(const std::string& process) const;
    bool waitFor(const std::string& path, const Child& child, double seconds) const;
    bool startPulseAudio(std::string* failure);
    bool startPipeWire(std::string* failure);
    bool makeDevices(std::string* failure);
    void signalAll(int signal);
    void reap(Child& child, bool wait);

    const ServerKind kind_;
    const DeviceFormats formats_;
    std::string directory_;
    std::string socket_;
    std::vector<Child> children_;  // in start order
    Child room_;
    bool frozen_ = false;
};

}  // namespace mivo::room
