#pragma once

// The few BSD socket calls the raw test peers make, on POSIX and on Winsock alike. A socket is
// held as a std::intptr_t (a descriptor, or a Winsock SOCKET), -1 for none. Only the peers'
// sources include this header.

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kestrun::test::sockets {

using Socket = std::intptr_t;
constexpr Socket kNone = -1;

#ifdef _WIN32
using Length = int;

inline void start() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
inline SOCKET native(Socket s) {
    return static_cast<SOCKET>(s);
}
// A new socket, not handed to the programs the test starts.
inline Socket open(int family, bool nonBlocking = false) {
    start();
    const SOCKET s = ::WSASocketW(family, SOCK_STREAM, 0, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return kNone;
    u_long on = nonBlocking ? 1 : 0;
    ::ioctlsocket(s, FIONBIO, &on);
    return static_cast<Socket>(s);
}
inline Socket accept(Socket listener) {
    const SOCKET s = ::accept(native(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kNone : static_cast<Socket>(s);
}
inline void close(Socket s) {
    ::closesocket(native(s));
}
// Whether the socket has input (or an end) within the time; false on a failure too.
inline bool readable(Socket s, int timeoutMs) {
    WSAPOLLFD p{native(s), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, timeoutMs) > 0;
}
inline std::ptrdiff_t send(Socket s, const char* bytes, std::size_t size) {
    return ::send(native(s), bytes, static_cast<int>(size), 0);
}
inline std::ptrdiff_t receive(Socket s, char* buffer, std::size_t size, bool peek = false) {
    return ::recv(native(s), buffer, static_cast<int>(size), peek ? MSG_PEEK : 0);
}
// Whether the last failed call failed because the peer reset the connection.
inline bool lastWasReset() {
    return ::WSAGetLastError() == WSAECONNRESET;
}
#else
using Length = socklen_t;

inline void start() {}
inline int native(Socket s) {
    return static_cast<int>(s);
}
inline Socket open(int family, bool nonBlocking = false) {
    const int fd =
        ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    return fd < 0 ? kNone : fd;
}
inline Socket accept(Socket listener) {
    const int fd = ::accept4(native(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kNone : fd;
}
inline void close(Socket s) {
    ::close(native(s));
}
inline bool readable(Socket s, int timeoutMs) {
    pollfd p{native(s), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}
inline std::ptrdiff_t send(Socket s, const char* bytes, std::size_t size) {
    return ::send(native(s), bytes, size, MSG_NOSIGNAL);
}
inline std::ptrdiff_t receive(Socket s, char* buffer, std::size_t size, bool peek = false) {
    return ::recv(native(s), buffer, size, peek ? MSG_PEEK | MSG_DONTWAIT : 0);
}
inline bool lastWasReset() {
    return errno == ECONNRESET;
}
#endif

inline int setOption(Socket s, int level, int name, int value) {
    return ::setsockopt(native(s), level, name, reinterpret_cast<const char*>(&value),
                        sizeof value);
}
inline int bind(Socket s, const void* address, std::size_t size) {
    return ::bind(native(s), static_cast<const sockaddr*>(address), static_cast<Length>(size));
}
inline int connect(Socket s, const void* address, std::size_t size) {
    return ::connect(native(s), static_cast<const sockaddr*>(address), static_cast<Length>(size));
}

} // namespace kestrun::test::sockets
