#include "platform/service_manager.h"

#include <cstdlib>
#include <cstring>

namespace kestrun {

// Kestrun has no Windows service of its own: it starts with the user's session (the Run value).
// A program started with the mark is treated as the service all the same, so a wrapper that
// restarts it (a scheduled task, a service host) keeps that job; the mark is not passed on.
bool runsAsService() {
    static const bool service = [] {
        const char* mark = std::getenv("KESTRUN_SERVICE");
        const bool marked = mark && std::strcmp(mark, "1") == 0;
        ::_putenv_s("KESTRUN_SERVICE", "");
        return marked;
    }();
    return service;
}

} // namespace kestrun
