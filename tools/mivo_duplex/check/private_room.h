#pragma once

// A private sound server with a virtual room of the matrix, for a check that must not touch the
// user's own server. Everything it starts ends with it.

#include <memory>
#include <string>

#include "sound_server.h"

namespace mivo::duplex::check {

class PrivateRoom {
public:
    // Starts the server (MIVO_TEST_SERVER picks which) and the room, and points this process at
    // it. `serverCanceller`: the server's own echo canceller is put on the room's microphone, and
    // its source made the default one, as a user who loaded it would have it.
    bool start(const std::string& room, const std::string& roomsFile, bool serverCanceller, std::string& failure);
    // The room's own word on where it put the echo ("ready delay_ms=... floor_ms=...").
    const std::string& state() const { return state_; }
    // Where a near-end talker speaks into the room.
    static const char* talkerDevice() { return "room"; }

private:
    std::unique_ptr<mivo::room::PrivateSoundServer> server_;
    std::string state_;
};

}  // namespace mivo::duplex::check
