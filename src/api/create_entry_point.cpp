// mivo_voice_io_create names the build's default platform, so it lives apart from the other entry
// points: the core's tests link those with a platform of their own.
#include "api/handle.h"
#include "mivo_voice_io.h"
#include "platform/audio_platform.h"

extern "C" {

mivo_voice_io* mivo_voice_io_create(void) {
    std::shared_ptr<mivo::platform::AudioPlatform> platform;
    try {
        platform = mivo::platform::defaultAudioPlatform();
    } catch (...) {
        // Without a platform the handle names no instance: start answers -1, as for NULL.
    }
    return mivo::api::createHandle(std::move(platform));
}

}  // extern "C"
