#pragma once

#include <memory>

#include "core/voice_io.h"
#include "mivo_voice_io.h"

// A handle is a number, not an address: a live handle names its instance in a registry, and a
// destroyed one names nothing, ever again, because numbers are never handed out twice. So a call
// with a destroyed or made-up handle, or one racing destroy, reads no freed memory: it finds no
// instance and gives the answer a NULL handle gets.
namespace mivo::api {

// A new handle on a new instance that runs on `platform`; what mivo_voice_io_create does with the
// build's default platform. Never null: when the instance cannot be made (no platform, no memory),
// the handle names nothing and every call answers as for NULL.
mivo_voice_io* createHandle(std::shared_ptr<platform::AudioPlatform> platform) noexcept;

// The handle's instance with a reference of the caller's own, so that the call finishes on a live
// object even if the handle is destroyed meanwhile. Null for a handle that names no instance.
std::shared_ptr<core::VoiceIO> retain(mivo_voice_io* handle) noexcept;

// Takes the handle's instance out of the registry: later calls find nothing. Null when it names none.
std::shared_ptr<core::VoiceIO> release(mivo_voice_io* handle) noexcept;

}  // namespace mivo::api
