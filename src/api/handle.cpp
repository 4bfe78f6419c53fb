#include "api/handle.h"

#include <new>

namespace mivo::api {

mivo_voice_io* createHandle(std::shared_ptr<platform::AudioPlatform> platform) noexcept {
    try {
        return new mivo_voice_io{core::VoiceIO::create(std::move(platform))};
    } catch (...) {
        return nullptr;
    }
}

std::shared_ptr<core::VoiceIO> retain(mivo_voice_io* handle) noexcept {
    if (!handle) return nullptr;
    return handle->instance;
}

}  // namespace mivo::api
