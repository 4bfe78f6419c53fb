#include "platform/pulse/pulse_notification_center.h"

#include <algorithm>

namespace mivo::platform::pulse {

struct PulseNotificationCenter::Observer final : ObserverToken {
    Observer(std::string_view n, const void* o, std::function<void()> b) : name(n), object(o), block(std::move(b)) {}

    const std::string name;
    const void* const object;
    const std::function<void()> block;
    bool removed = false;
    // Threads inside `block` right now; removal waits for all but its own.
    std::vector<std::thread::id> callers;
};

std::shared_ptr<ObserverToken> PulseNotificationCenter::addObserver(std::string_view name, const void* object,
                                                             std::function<void()> block) {
    auto observer = std::make_shared<Observer>(name, object, std::move(block));
    std::lock_guard<std::mutex> hold(mutex_);
    observers_.push_back(observer);
    return observer;
}

void PulseNotificationCenter::removeObserver(const std::shared_ptr<ObserverToken>& token) {
    auto observer = std::dynamic_pointer_cast<Observer>(token);
    if (!observer) return;
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> hold(mutex_);
    observer->removed = true;
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
    // A block that removes its own token must not wait for itself: it finishes after returning.
    idle_.wait(hold, [&] {
        return std::all_of(observer->callers.begin(), observer->callers.end(),
                           [&](std::thread::id caller) { return caller == self; });
    });
}

size_t PulseNotificationCenter::post(std::string_view name, const void* object) {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (const auto& observer : observers_) {
            if (observer->object == object && observer->name == name) matching.push_back(observer);
        }
    }
    size_t ran = 0;
    for (const auto& observer : matching) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            // Removed by an earlier observer of this same post: it must not run any more.
            if (observer->removed) continue;
            observer->callers.push_back(self);
        }
        observer->block();
        ++ran;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            auto& callers = observer->callers;
            callers.erase(std::find(callers.begin(), callers.end(), self));
        }
        idle_.notify_all();
    }
    return ran;
}

}  // namespace mivo::platform::pulse
