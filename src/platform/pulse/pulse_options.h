#pragma once

#include <chrono>

#include "platform/pulse/voice_processor.h"

namespace mivo::platform::pulse {

// How the PulseAudio platform and its engines behave; the platform hands the same options to
// every engine it makes.
struct PulsePlatformOptions {
    // Bound on every device or format question to the server.
    std::chrono::milliseconds queryTimeout{2000};
    // Bound on an engine's start: connecting, looking up the devices and getting both streams ready.
    std::chrono::milliseconds startTimeout{3000};
    // Makes the voice-processing stage of each engine run; pass-through when empty.
    VoiceProcessorFactory makeVoiceProcessor;
};

}  // namespace mivo::platform::pulse
