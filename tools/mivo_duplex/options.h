#pragma once

#include <optional>
#include <string>

namespace mivo::duplex {

struct Options {
    std::string playPath;    // empty: play nothing
    std::string recordPath;  // empty: record nothing
    double seconds = 0.0;    // 0: as long as the played file, or until Ctrl-C
};

// Parses the command line; on a mistake returns nothing and fills `problem`.
std::optional<Options> parseOptions(int argc, char** argv, std::string& problem);
const char* usage();

}  // namespace mivo::duplex
