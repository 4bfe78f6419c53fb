// The room on a private server: the mivo-room client that applies it, started and stopped.

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "sound_server.h"

namespace mivo::room {

using Clock = std::chrono::steady_clock;

namespace {
// A number from a "ready key=value ..." line; NaN when the line has none.
double readyField(const std::string& line, const std::string& key) {
    const auto at = line.find(" " + key + "=");
    return at == std::string::npos ? std::nan("") : std::atof(line.c_str() + at + key.size() + 2);
}
}  // namespace

std::string PrivateSoundServer::startRoom(const std::string& roomTool, const std::string& roomsFile,
                                          const std::string& room, std::string* failure) {
    // A room whose echo came up far later than described (seen once on PipeWire: the test burst
    // unheard, then the echo placed 600 ms late) fails whatever uses it; fresh streams are a
    // fresh chance.
    constexpr double tooLateMs = 50.0;
    constexpr int attempts = 3;
    for (int attempt = 1;; ++attempt) {
        const std::string ready = startRoomOnce(roomTool, roomsFile, room, failure);
        const double late = readyField(ready, "delay_ms") - readyField(ready, "wanted_ms");
        if (ready.empty() || !(late > tooLateMs) || attempt == attempts) return ready;
        const std::string kept = logPathOf("mivo-room") + ".late";
        std::fprintf(stderr, "mivo-room: the room %s came up with its echo %.1f ms later than described; "
                     "starting it again (its log: %s)\n", room.c_str(), late, kept.c_str());
        stopRoom();
        std::error_code ignored;  // a log that cannot be kept is no reason to fail the start
        std::filesystem::rename(logPathOf("mivo-room"), kept, ignored);
    }
}

std::string PrivateSoundServer::startRoomOnce(const std::string& roomTool, const std::string& roomsFile,
                                              const std::string& room, std::string* failure) {
    stopRoom();
    const std::string logPath = logPathOf("mivo-room");
    std::filesystem::remove(logPath);
    room_ = {"mivo-room", launch("mivo-room", {roomTool, "echo", "--rooms", roomsFile, "--room", room})};
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        std::istringstream lines(roomLog());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("ready ", 0) != 0) continue;
            // module-loopback's streams only get the sinks' short latency after a restart; the
            // echo client waits for it itself.
            if (line.find("kind=loopback") != std::string::npos) restartSinks();
            return line;
        }
        int status = 0;
        if (waitpid(room_.pid, &status, WNOHANG) == room_.pid) {
            room_.pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (failure) *failure = "the room " + room + " did not start:\n" + roomLog();
    stopRoom();
    return {};
}

void PrivateSoundServer::stopRoom() {
    if (room_.pid <= 0) return;
    ::kill(room_.pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    int status = 0;
    while (waitpid(room_.pid, &status, WNOHANG) != room_.pid) {
        if (Clock::now() > deadline) {
            ::kill(room_.pid, SIGKILL);
            waitpid(room_.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    room_.pid = -1;
}

}  // namespace mivo::room
