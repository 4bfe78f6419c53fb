#include "api/handle.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace mivo::api {

namespace {

class Registry {
public:
    mivo_voice_io* add(std::shared_ptr<core::VoiceIO> instance) noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        const uintptr_t number = ++lastNumber_;
        if (instance) {
            try {
                live_.emplace(number, std::move(instance));
            } catch (...) {
                // No room to remember it: the instance goes, and the number names nothing.
            }
        }
        return reinterpret_cast<mivo_voice_io*>(number);
    }

    std::shared_ptr<core::VoiceIO> find(mivo_voice_io* handle) noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto found = live_.find(reinterpret_cast<uintptr_t>(handle));
        return found == live_.end() ? nullptr : found->second;
    }

    std::shared_ptr<core::VoiceIO> remove(mivo_voice_io* handle) noexcept {
        std::shared_ptr<core::VoiceIO> instance;
        std::lock_guard<std::mutex> guard(mutex_);
        const auto found = live_.find(reinterpret_cast<uintptr_t>(handle));
        if (found == live_.end()) return nullptr;
        instance = std::move(found->second);
        live_.erase(found);
        return instance;
    }

private:
    std::mutex mutex_;
    uintptr_t lastNumber_ = 0;  // 0 is NULL; 2^64 handles are never reached
    std::unordered_map<uintptr_t, std::shared_ptr<core::VoiceIO>> live_;
};

// Never destroyed: a host may still call from its own static destructors or atexit handlers.
Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

}  // namespace

mivo_voice_io* createHandle(std::shared_ptr<platform::AudioPlatform> platform) noexcept {
    std::shared_ptr<core::VoiceIO> instance;
    if (platform) {
        try {
            instance = core::VoiceIO::create(std::move(platform));
        } catch (...) {
        }
    }
    return registry().add(std::move(instance));
}

std::shared_ptr<core::VoiceIO> retain(mivo_voice_io* handle) noexcept {
    if (!handle) return nullptr;
    return registry().find(handle);
}

std::shared_ptr<core::VoiceIO> release(mivo_voice_io* handle) noexcept {
    if (!handle) return nullptr;
    return registry().remove(handle);
}

}  // namespace mivo::api
