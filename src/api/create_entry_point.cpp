// mivo_voice_io_create names the build's default platform, so it lives apart from the other entry
// points: the core's tests link those with a platform of their own.
#include <cstdlib>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "platform/audio_platform.h"

extern "C" {

mivo_voice_io* mivo_voice_io_create(void) {
    mivo_voice_io* handle = nullptr;
    try {
        handle = mivo::api::createHandle(mivo::platform::defaultAudioPlatform());
    } catch (...) {
    }
    // The contract is a non-null handle; without memory for one there is nothing sound to return.
    if (!handle) std::abort();
    return handle;
}

}  // extern "C"
