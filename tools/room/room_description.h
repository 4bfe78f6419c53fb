#pragma once

// A room as rooms.conf describes it, and the impulse response it stands for.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mivo::room {

struct RoomDescription {
    std::string name;
    std::string kind = "client";  // or "loopback"
    double delayMs = 0.0;
    double gainDb = 0.0;
    double rt60Seconds = 0.0;
    double reverbDb = 0.0;
    double reflectionMs = 0.0;
    double reflectionDb = 0.0;
    std::string impulseResponseWav;  // absolute path, or empty
    double driftPpm = 0.0;
    double clipDbfs = 0.0;  // 0: linear loudspeaker
    double noiseDbfs = 0.0;  // 0: no noise
    double changeAtSeconds = 0.0;  // 0: the path never changes
    double changeDelayMs = 0.0;
    double changeGainDb = 0.0;
    double changeRt60Seconds = 0.0;
    uint64_t seed = 0;
    // What the benchmark's host does; the room itself ignores these.
    double farSeconds = 10.0;
    double pauseAtSeconds = 0.0;
    double pauseMs = 0.0;

    bool loopback() const { return kind == "loopback"; }
    bool changes() const { return changeAtSeconds > 0.0; }
    bool reverberant() const { return rt60Seconds > 0.0 || reflectionMs > 0.0 || !impulseResponseWav.empty(); }
};

// Every room of a rooms file, by name; throws std::runtime_error naming the file and line of a
// mistake (an unknown key or kind, a value that is not a number).
std::map<std::string, RoomDescription> readRooms(const std::string& path);
RoomDescription findRoom(const std::string& path, const std::string& name);

// The path of the rooms file that ships with the sources.
std::string defaultRoomsFile();

// The impulse response after the direct path's delay, at `rate`, starting with the direct path
// at index 0 and scaled by gain_db; the same every time for the same room. `rt60Seconds`
// overrides the room's (for its change). Reads ir_wav when the room names one.
std::vector<float> impulseResponse(const RoomDescription& room, double rate, double rt60Seconds);

double fromDecibels(double decibels);

}  // namespace mivo::room
