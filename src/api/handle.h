#pragma once

#include <memory>

#include "core/voice_io.h"
#include "mivo_voice_io.h"

// What a handle points to: the box that owns the handle's reference to its instance.
struct mivo_voice_io {
    std::shared_ptr<mivo::core::VoiceIO> instance;
};

namespace mivo::api {

// A handle on a new instance that runs on `platform`; what mivo_voice_io_create does with the
// build's default platform. Null only when memory runs out.
mivo_voice_io* createHandle(std::shared_ptr<platform::AudioPlatform> platform) noexcept;

// The handle's instance with a reference of the caller's own, which keeps the instance alive
// through a destroy that comes later. The copy itself reads the handle, so a destroy must not run
// meanwhile. Null for a null handle.
std::shared_ptr<core::VoiceIO> retain(mivo_voice_io* handle) noexcept;

}  // namespace mivo::api
