#include "mivo_duplex/options.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace mivo::duplex {

const char* usage() {
    return "usage: mivo-duplex [--play FILE] [--record FILE] [--seconds N]\n"
           "       mivo-duplex --check [--room NAME [--rooms FILE] [--server-canceller]] [--quiet-room] [--json]\n"
           "                   [--png FILE] [--save-recording FILE]\n"
           "  Plays FILE (a WAV file of any rate and channel count) through the default loudspeaker\n"
           "  while it records the echo-cancelled microphone to a 16 kHz mono WAV file.\n"
           "  Without --seconds it runs as long as the played file lasts, or until Ctrl-C.\n"
           "  --check: about 15 s of speech through the default devices, then a report on the echo path,\n"
           "  the microphone and the cancellation, and a picture of ERLE per second (--png, default\n"
           "  mivo-check.png). It asks you to speak for a few seconds unless --quiet-room. --room runs\n"
           "  it in a private virtual room instead (never your own sound server); --server-canceller\n"
           "  puts the server's own echo canceller on that room's microphone. Exit status: 0\n"
           "  cancellation is working, 1 a finding needs you, 2 the check could not run. --save-recording\n"
           "  keeps what the loudspeaker played and the raw microphone heard, lined up, as float pairs.\n";
}

namespace {

bool takesValue(std::string_view flag) {
    return flag == "--play" || flag == "--record" || flag == "--seconds" || flag == "--room" || flag == "--rooms" ||
           flag == "--png" || flag == "--save-recording";
}

bool checkFlag(std::string_view flag, CheckOptions& check) {
    if (flag == "--json") return check.json = true;
    if (flag == "--quiet-room") return check.quietRoom = true;
    if (flag == "--server-canceller") return check.serverCanceller = true;
    return flag == "--check";
}

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv, std::string& problem) {
    Options options;
    CheckOptions check;
    bool checking = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            problem.clear();
            return std::nullopt;
        }
        if (checkFlag(flag, check)) {
            checking = checking || flag == "--check";
            continue;
        }
        if (!takesValue(flag)) {
            problem = "unknown option " + std::string(flag);
            return std::nullopt;
        }
        if (i + 1 >= argc) {
            problem = "missing value after " + std::string(flag);
            return std::nullopt;
        }
        const char* value = argv[++i];
        if (flag == "--play") {
            options.playPath = value;
        } else if (flag == "--record") {
            options.recordPath = value;
        } else if (flag == "--room") {
            check.room = value;
        } else if (flag == "--rooms") {
            check.roomsFile = value;
        } else if (flag == "--save-recording") {
            check.recordingPath = value;
        } else if (flag == "--png") {
            check.picturePath = value;
        } else if (flag == "--seconds") {
            char* end = nullptr;
            options.seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !std::isfinite(options.seconds) || options.seconds <= 0) {
                problem = "--seconds needs a positive number";
                return std::nullopt;
            }
        }
    }
    if (checking) {
        if (!options.playPath.empty() || !options.recordPath.empty()) {
            problem = "--check plays and records on its own: leave out --play and --record";
            return std::nullopt;
        }
        if (check.serverCanceller && check.room.empty()) {
            problem = "--server-canceller changes a private room only: give --room";
            return std::nullopt;
        }
        options.check = check;
        return options;
    }
    if (check.json || check.quietRoom || check.serverCanceller || !check.room.empty() || !check.roomsFile.empty() ||
        !check.recordingPath.empty()) {
        problem = "--room, --rooms, --json, --quiet-room, --png, --save-recording and --server-canceller go with --check";
        return std::nullopt;
    }
    if (options.playPath.empty() && options.recordPath.empty()) {
        problem = "nothing to do: give --play, --record or both";
        return std::nullopt;
    }
    return options;
}

}  // namespace mivo::duplex
