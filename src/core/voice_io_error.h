#pragma once

#include <string_view>

namespace mivo::core {

// Why the start sequence gave up, when the platform itself reported no error.
enum class VoiceIOError : int {
    noDefaultAudioDevice = 0,
    invalidInputFormat = 1,
    invalidOutputFormat = 2,
    converterCreationFailed = 3,
    controlThreadUnavailable = 4,
};

std::string_view description(VoiceIOError error);

}  // namespace mivo::core
