#pragma once

#include <optional>
#include <string>

namespace mivo::duplex {

struct CheckOptions {
    std::string room;           // empty: the user's default devices; else a room of rooms.conf
    std::string roomsFile;      // empty: the one that ships with the sources
    std::string picturePath = "mivo-check.png";
    std::string recordingPath;  // non-empty: the lined-up loudspeaker and microphone go here
    bool json = false;
    bool quietRoom = false;     // no double-talk window
    bool serverCanceller = false;  // load the server's own canceller into the private room
};

struct Options {
    std::string playPath;    // empty: play nothing
    std::string recordPath;  // empty: record nothing
    double seconds = 0.0;    // 0: as long as the played file, or until Ctrl-C
    std::optional<CheckOptions> check;
};

// Parses the command line; on a mistake returns nothing and fills `problem`.
std::optional<Options> parseOptions(int argc, char** argv, std::string& problem);
const char* usage();

}  // namespace mivo::duplex
