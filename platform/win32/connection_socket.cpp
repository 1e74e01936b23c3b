#include "platform/connection_socket.h"

#include <winsock2.h>

namespace kestrun {

void resetOnClose(std::intptr_t descriptor) {
    linger immediate{};
    immediate.l_onoff = 1;
    immediate.l_linger = 0;
    ::setsockopt(static_cast<SOCKET>(descriptor), SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char*>(&immediate), sizeof immediate);
}

std::int64_t bytesWaiting(std::intptr_t descriptor) {
    u_long count = 0;
    if (::ioctlsocket(static_cast<SOCKET>(descriptor), FIONREAD, &count) != 0)
        return 0;
    return static_cast<std::int64_t>(count);
}

} // namespace kestrun
