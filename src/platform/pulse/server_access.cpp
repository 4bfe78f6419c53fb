#include "platform/pulse/server_access.h"

namespace mivo::platform::pulse {

namespace {

// Long enough for the rest of a start after its device questions, even on a slow machine.
constexpr std::chrono::milliseconds keptConnectionIdle{3000};

}  // namespace

std::optional<DefaultDevices> ServerAccess::defaults() {
    // A connection that ended is destroyed after the lock is released; its loop thread is joined.
    std::unique_ptr<ServerConnection> ended;
    std::lock_guard<std::mutex> hold(mutex_);
    // The kept one may have expired a moment ago: then this question opens a new one.
    if (kept_ && !claim(*kept_)) ended = std::move(kept_);
    const Deadline deadline(queryTimeout_);
    if (!kept_) {
        std::string failure;
        kept_ = ServerConnection::open(deadline, failure);
        if (!kept_) return std::nullopt;
    }
    std::optional<DefaultDevices> answer;
    {
        MainloopLock loop(kept_->loop());
        answer = kept_->readDefaults(deadline);
        if (answer) kept_->expireWhenIdle(keptConnectionIdle);
    }
    if (!answer) ended = std::move(kept_);
    return answer;
}

std::unique_ptr<ServerConnection> ServerAccess::take() {
    std::unique_ptr<ServerConnection> taken;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        taken = std::move(kept_);
    }
    if (!taken || !claim(*taken)) return nullptr;
    return taken;
}

bool ServerAccess::claim(ServerConnection& connection) {
    MainloopLock loop(connection.loop());
    connection.claim();
    return connection.usable();
}

}  // namespace mivo::platform::pulse
