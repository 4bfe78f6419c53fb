#pragma once

// What the room really did: records the loudspeaker (speaker.monitor) and the microphone
// (room.monitor) at once and lines the two up on the server's clock, so that sample i of both
// was heard at the same moment. The delay, level and drift of the echo are then plain offline
// measurements of the two (tools/room/room_truth.py).

#include <string>

namespace mivo::room {

// Records for `seconds` (or until SIGINT/SIGTERM) into `path`: 48 kHz float32, two interleaved
// channels, loudspeaker then microphone. Prints "recorded frames=<n> spread_ms=<s>" (how far the
// server's timing of the two streams wandered while recording). Returns the exit status.
int recordMonitors(double seconds, const std::string& path, const std::string& speaker = "speaker.monitor",
                   const std::string& microphone = "room.monitor");

}  // namespace mivo::room
