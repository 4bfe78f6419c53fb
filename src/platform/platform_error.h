#pragma once

#include <string>

namespace mivo::platform {

// What a fallible platform operation reports besides its status.
struct PlatformError {
    std::string description;
};

}  // namespace mivo::platform
