#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/notification_center.h"

namespace mivo::platform::pulse {

// The notification center of the PulseAudio platform. Engines post on their event-loop thread;
// observers run right there, on the posting thread.
class PulseNotificationCenter final : public NotificationCenter {
public:
    std::shared_ptr<ObserverToken> addObserver(std::string_view name, const void* object,
                                               std::function<void()> block) override;
    void removeObserver(const std::shared_ptr<ObserverToken>& token) override;

    // Calls every observer registered for `name` and `object`, one after the other; how many ran.
    size_t post(std::string_view name, const void* object);

private:
    struct Observer;

    std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<std::shared_ptr<Observer>> observers_;
};

}  // namespace mivo::platform::pulse
