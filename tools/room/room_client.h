#pragma once

// The echo path as a client of the sound server: reads what the `speaker` sink plays (its
// monitor), applies the room, and plays the result into the `room` sink, whose monitor is the
// microphone. The delay is end to end: the client's own I/O latency is measured from the
// streams' timing and taken off the room's delay line.

#include <string>

#include "room_description.h"

namespace mivo::room {

struct RoomClientOptions {
    std::string speakerMonitor = "speaker.monitor";
    std::string microphoneSink = "room";
};

// Runs until SIGTERM or SIGINT, or the server goes away. Prints one line to stdout once the
// echo is in place ("ready delay_ms=<placed> floor_ms=<least this server allows> kind=...
// wanted_ms=<described>"), and what went wrong to stderr. Returns the process exit status.
int runRoomClient(const RoomDescription& room, const RoomClientOptions& options);

}  // namespace mivo::room
