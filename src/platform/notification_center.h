#pragma once

// How a backend tells the core that the devices under a running engine changed. The core adds one
// observer per run, with the engine as the object, after the engine's start has returned, and
// removes it before it stops that engine. The backend posts on a thread of its own, never on a
// thread that called into it, and must make sure that a change which happens before the observer
// is added still reaches it.

#include <functional>
#include <memory>
#include <string_view>

namespace mivo::platform {

// Posted with the engine as its object when the devices the engine uses change under it.
inline constexpr std::string_view engineConfigurationChangeNotification =
    "AVAudioEngineConfigurationChangeNotification";

// Opaque registration handed back by addObserver; only the center looks inside.
class ObserverToken {
public:
    virtual ~ObserverToken() = default;
};

class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;

    // The block runs on the posting thread, for notifications of that name whose object is `object`.
    virtual std::shared_ptr<ObserverToken> addObserver(std::string_view name, const void* object,
                                                       std::function<void()> block) = 0;
    // Returns once no call of the token's block is in flight; the block is never called afterwards.
    // From inside that block it does not wait for itself.
    virtual void removeObserver(const std::shared_ptr<ObserverToken>& token) = 0;
};

}  // namespace mivo::platform
