#include "core/voice_io_error.h"

namespace mivo::core {

std::string_view description(VoiceIOError error) {
    switch (error) {
        case VoiceIOError::noDefaultAudioDevice:
            return "No default input or output audio device is available";
        case VoiceIOError::invalidInputFormat:
            return "The default input device has no usable audio format";
        case VoiceIOError::invalidOutputFormat:
            return "The default output device has no usable audio format";
        case VoiceIOError::converterCreationFailed:
            return "Unable to create the microphone sample-rate converter";
        case VoiceIOError::controlThreadUnavailable:
            return "Unable to create the control thread";
    }
    return "Unknown error";
}

}  // namespace mivo::core
