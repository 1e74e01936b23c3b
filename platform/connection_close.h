#pragma once

#include <cstdint>

namespace kestrun {

// A connected socket as the system names it: a descriptor, or on Windows a SOCKET.
#ifdef _WIN32
using NativeSocket = std::uintptr_t;
#else
using NativeSocket = int;
#endif

// Closes a connection. With a wait, the end of our sending is signalled first and the peer's own
// end awaited for at most `waitMs`, reading away what it still sends: a socket closed before
// the peer has stopped sending resets the connection when more of the peer's input arrives
// (or some was never read), and the reset drops what the system had still to send and what
// the peer had received and not yet read, the end of an upload. False when closing failed.
bool closeConnection(NativeSocket socket, int waitMs);

} // namespace kestrun
