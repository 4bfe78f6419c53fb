#include "mivo_duplex/options.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace mivo::duplex {

const char* usage() {
    return "usage: mivo-duplex [--play FILE] [--record FILE] [--seconds N]\n"
           "  Plays FILE (a WAV file of any rate and channel count) through the default loudspeaker\n"
           "  while it records the echo-cancelled microphone to a 16 kHz mono WAV file.\n"
           "  Without --seconds it runs as long as the played file lasts, or until Ctrl-C.\n";
}

std::optional<Options> parseOptions(int argc, char** argv, std::string& problem) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            problem.clear();
            return std::nullopt;
        }
        if (flag != "--play" && flag != "--record" && flag != "--seconds") {
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
        } else if (flag == "--seconds") {
            char* end = nullptr;
            options.seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !std::isfinite(options.seconds) || options.seconds <= 0) {
                problem = "--seconds needs a positive number";
                return std::nullopt;
            }
        }
    }
    if (options.playPath.empty() && options.recordPath.empty()) {
        problem = "nothing to do: give --play, --record or both";
        return std::nullopt;
    }
    return options;
}

}  // namespace mivo::duplex
