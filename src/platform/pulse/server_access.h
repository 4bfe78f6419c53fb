#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/pulse/server_connection.h"

namespace mivo::platform::pulse {

// The platform's way to the server. Device and format questions are asked on one connection,
// which is kept for the engine that starts next: a start connects once, and its worst case is
// one time-out rather than one per question. A connection nobody takes ends by itself soon.
// Called from any thread.
class ServerAccess {
public:
    explicit ServerAccess(std::chrono::milliseconds queryTimeout) : queryTimeout_(queryTimeout) {}

    // The server's default devices now; empty when no server answers within the query timeout.
    std::optional<DefaultDevices> defaults();
    // The kept connection, with the answer it last read, while it is still usable; else null.
    std::unique_ptr<ServerConnection> take();

private:
    // Stops its expiry; false when it has ended already.
    static bool claim(ServerConnection& connection);

    const std::chrono::milliseconds queryTimeout_;
    std::mutex mutex_;
    std::unique_ptr<ServerConnection> kept_;
};

}  // namespace mivo::platform::pulse
