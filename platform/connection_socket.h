#pragma once

#include <cstdint>

namespace kestrun {

// Options of one connected TCP socket, given by its native descriptor (a file descriptor, or a
// SOCKET on Windows), that the socket classes of the framework do not offer.

// Makes the coming close of the connection a reset: whatever is still queued for the peer is
// thrown away instead of being sent on after the close.
void resetOnClose(std::intptr_t descriptor);

// Bytes that have arrived on the connection and wait to be read; 0 when none or when that
// cannot be told.
std::int64_t bytesWaiting(std::intptr_t descriptor);

} // namespace kestrun
