#include "platform/connection_close.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kestrun {

bool closeConnection(NativeSocket socket, int waitMs) {
    if (waitMs > 0 && ::shutdown(socket, SHUT_WR) == 0) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
        char buffer[4096];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd readable{socket, POLLIN, 0};
            const int ready = left > 0 ? ::poll(&readable, 1, static_cast<int>(left)) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            // The peer's end, a failure or the time is up.
            if (ready <= 0 || ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
                break;
        }
    }
    return ::close(socket) == 0;
}

} // namespace kestrun
