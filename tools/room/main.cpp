// mivo-room: the virtual rooms of the tests, the demo and the echo benchmark.
//
//   mivo-room list [--rooms FILE]                 the rooms' names
//   mivo-room show ROOM [--rooms FILE]            a room's settings, as key=value lines
//   mivo-room echo --room ROOM [--rooms FILE]     applies the room on the current server until
//                                                 SIGTERM; prints "ready delay_ms=..." once it does
//   mivo-room record --seconds S --out FILE       speaker.monitor and room.monitor, lined up
//   mivo-room serve [--room ROOM|none] [--rooms FILE] [--server pulseaudio|pipewire] --env-file FILE
//                                                 a private server with the room, until SIGTERM;
//                                                 writes the variables that reach it to FILE
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "monitor_recorder.h"
#include "room_client.h"
#include "room_description.h"
#include "sound_server.h"

namespace {

using namespace mivo::room;

std::map<std::string, std::string> options(int argc, char** argv, int first, std::string* positional) {
    std::map<std::string, std::string> result;
    for (int i = first; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0 && i + 1 < argc) {
            result[argv[i] + 2] = argv[i + 1];
            ++i;
        } else if (positional) {
            *positional = argv[i];
        }
    }
    return result;
}

std::string value(const std::map<std::string, std::string>& table, const std::string& key, const std::string& fallback) {
    const auto found = table.find(key);
    return found == table.end() ? fallback : found->second;
}

int usage() {
    std::fputs("usage: mivo-room list|show ROOM|echo --room ROOM|record --seconds S --out FILE|"
               "serve --env-file FILE [--room ROOM|none] [--server pulseaudio|pipewire]  [--rooms FILE]\n",
               stderr);
    return 2;
}

void show(const RoomDescription& room) {
    std::printf("name=%s\nkind=%s\ndelay_ms=%g\ngain_db=%g\nrt60_s=%g\nreverb_db=%g\nreflection_ms=%g\n"
                "reflection_db=%g\nir_wav=%s\ndrift_ppm=%g\nclip_dbfs=%g\nnoise_dbfs=%g\nchange_at_s=%g\n"
                "change_delay_ms=%g\nchange_gain_db=%g\nchange_rt60_s=%g\nseed=%llu\nfar_s=%g\npause_at_s=%g\n"
                "pause_ms=%g\n",
                room.name.c_str(), room.kind.c_str(), room.delayMs, room.gainDb, room.rt60Seconds, room.reverbDb,
                room.reflectionMs, room.reflectionDb, room.impulseResponseWav.c_str(), room.driftPpm, room.clipDbfs,
                room.noiseDbfs, room.changeAtSeconds, room.changeDelayMs, room.changeGainDb, room.changeRt60Seconds,
                static_cast<unsigned long long>(room.seed), room.farSeconds, room.pauseAtSeconds, room.pauseMs);
}

// The server runs until this process is told to stop; its children die with it even if it is
// killed outright, and any process they leave behind is handed to it and ended too.
int serve(const std::map<std::string, std::string>& table, const std::string& roomsFile, const char* self) {
    const std::string envFile = value(table, "env-file", "");
    if (envFile.empty()) return usage();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGCHLD);
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    const std::string kind = value(table, "server", "");
    PrivateSoundServer server(kind.empty() ? serverKindFromEnvironment()
                                           : (kind == "pipewire" ? ServerKind::pipewire : ServerKind::pulseaudio));
    std::string failure;
    if (!server.start(&failure)) {
        std::fprintf(stderr, "mivo-room serve: %s\n", failure.c_str());
        return 1;
    }
    const std::string room = value(table, "room", "pure-60");
    std::string ready = "ready room=none";
    if (room != "none") {
        ready = server.startRoom(self, roomsFile, room, &failure);
        if (ready.empty()) {
            std::fprintf(stderr, "mivo-room serve: %s\n", failure.c_str());
            return 1;
        }
    }
    {
        // NAME='value' lines: a shell can source them, and Python split them.
        std::ofstream out(envFile + ".partial");
        std::string pids;
        for (pid_t pid : server.processes()) {
            if (!pids.empty()) pids.push_back(' ');
            pids.append(std::to_string(pid));
        }
        std::istringstream lines(server.environment() + "MIVO_TEST_SERVER=" + serverName(server.kind()) +
                                 "\nMIVO_ROOM_STATE=" + ready + "\nMIVO_ROOM_LOG=" + server.directory() +
                                 "/mivo-room.log\nMIVO_SERVER_PIDS=" + pids + "\n");
        for (std::string line; std::getline(lines, line);) {
            const auto equals = line.find('=');
            out << line.substr(0, equals) << "='" << line.substr(equals + 1) << "'\n";
        }
    }
    std::rename((envFile + ".partial").c_str(), envFile.c_str());
    // Until told to stop, or until a process of the server or the room ends by itself: then the
    // server is no longer what the variables say, and whoever started this must know.
    for (;;) {
        int received = 0;
        sigwait(&stopping, &received);
        if (received != SIGCHLD) break;
        if (const std::string ended = server.endedProcess(); !ended.empty()) {
            std::fprintf(stderr, "mivo-room serve: %s ended by itself\n%s\n", ended.c_str(), server.log().c_str());
            server.stop();
            return 1;
        }
    }
    server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    std::string positional;
    const auto table = options(argc, argv, 2, &positional);
    const std::string roomsFile = value(table, "rooms", defaultRoomsFile());
    try {
        if (command == "list") {
            for (const auto& [name, room] : readRooms(roomsFile)) std::printf("%s\n", name.c_str());
            return 0;
        }
        if (command == "show" && !positional.empty()) {
            show(findRoom(roomsFile, positional));
            return 0;
        }
        if (command == "echo" && table.count("room")) {
            return runRoomClient(findRoom(roomsFile, table.at("room")), RoomClientOptions{});
        }
        if (command == "record" && table.count("seconds") && table.count("out")) {
            return recordMonitors(std::stod(table.at("seconds")), table.at("out"),
                                  value(table, "speaker", "speaker.monitor"), value(table, "microphone", "room.monitor"));
        }
        if (command == "serve") return serve(table, roomsFile, "/proc/self/exe");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "mivo-room: %s\n", error.what());
        return 1;
    }
    return usage();
}
