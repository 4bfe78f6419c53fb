#pragma once

namespace mivo::room {

// A room and its recorder stand in for air and a sound card: they must not starve behind a busy
// machine's builds any more than the server's own I/O threads do. Asks for those threads'
// round-robin priority where the system allows it, else a high nice level; never fails.
void raiseToServerPriority();

}  // namespace mivo::room
