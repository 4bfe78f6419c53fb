#include "platform/audio_platform.h"
#include "platform/pulse/pulse_platform.h"
#include "platform/pulse/webrtc_voice_processor.h"

namespace mivo::platform {

// One platform for the whole process: every instance shares its notification center.
std::shared_ptr<AudioPlatform> defaultAudioPlatform() {
    static const std::shared_ptr<AudioPlatform> platform = [] {
        pulse::PulsePlatformOptions options;
        options.makeVoiceProcessor = [](std::string& error) -> std::unique_ptr<pulse::VoiceProcessor> {
            return pulse::WebRtcVoiceProcessor::create(error);
        };
        return std::make_shared<pulse::PulsePlatform>(std::move(options));
    }();
    return platform;
}

}  // namespace mivo::platform
