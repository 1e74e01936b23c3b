#include "platform/connection_close.h"

#include <winsock2.h>

#include <windows.h>

namespace kestrun {

bool closeConnection(NativeSocket native, int waitMs) {
    const auto socket = static_cast<SOCKET>(native);
    if (waitMs > 0 && ::shutdown(socket, SD_SEND) == 0) {
        const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(waitMs);
        char buffer[4096];
        for (;;) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= end)
                break;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket, &readable);
            const ULONGLONG left = end - now;
            timeval limit{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
            // The peer's end, a failure or the time is up.
            if (::select(0, &readable, nullptr, nullptr, &limit) <= 0 ||
                ::recv(socket, buffer, sizeof buffer, 0) <= 0)
                break;
        }
    }
    return ::closesocket(socket) == 0;
}

} // namespace kestrun
