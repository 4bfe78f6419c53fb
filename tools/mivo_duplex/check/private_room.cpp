#include "mivo_duplex/check/private_room.h"

#include <filesystem>

#include "room_description.h"

namespace mivo::duplex::check {

bool PrivateRoom::start(const std::string& room, const std::string& roomsFile, bool serverCanceller,
                        std::string& failure) {
    const std::string rooms = roomsFile.empty() ? mivo::room::defaultRoomsFile() : roomsFile;
    try {
        mivo::room::findRoom(rooms, room);
        server_ = std::make_unique<mivo::room::PrivateSoundServer>(mivo::room::serverKindFromEnvironment());
    } catch (const std::exception& error) {
        failure = error.what();
        return false;
    }
    if (!std::filesystem::exists(MIVO_ROOM_TOOL)) {
        failure = std::string("the room program is not where it was built: ") + MIVO_ROOM_TOOL;
        return false;
    }
    if (!server_->start(&failure)) return false;
    state_ = server_->startRoom(MIVO_ROOM_TOOL, rooms, room, &failure);
    if (state_.empty()) return false;
    if (!serverCanceller) return true;
    std::string output;
    const std::string load =
        "load-module module-echo-cancel aec_method=webrtc source_master=room.monitor sink_master=speaker "
        "source_name=room_echo_cancel sink_name=speaker_echo_cancel";
    if (server_->pactl(load, &output) != 0 || server_->pactl("set-default-source room_echo_cancel", &output) != 0) {
        failure = "cannot load the server's echo canceller: " + output;
        return false;
    }
    return true;
}

}  // namespace mivo::duplex::check
