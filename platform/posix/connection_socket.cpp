#include "platform/connection_socket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

namespace kestrun {

void resetOnClose(std::intptr_t descriptor) {
    const linger immediate{1, 0};
    ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

std::int64_t bytesWaiting(std::intptr_t descriptor) {
    int count = 0;
    if (::ioctl(static_cast<int>(descriptor), FIONREAD, &count) != 0 || count < 0)
        return 0;
    return count;
}

} // namespace kestrun
