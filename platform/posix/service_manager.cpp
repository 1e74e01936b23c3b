#include "platform/service_manager.h"

#include <cstdlib>
#include <cstring>

namespace kestrun {

bool runsAsService() {
    static const bool service = [] {
        const char* mark = std::getenv("KESTRUN_SERVICE");
        const bool marked = mark && std::strcmp(mark, "1") == 0;
        ::unsetenv("KESTRUN_SERVICE");
        return marked;
    }();
    return service;
}

} // namespace kestrun
