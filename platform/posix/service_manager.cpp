#include "platform/service_manager.h"

#include <cstdlib>

namespace kestrun {

bool runsAsService() {
    const char* invocation = std::getenv("INVOCATION_ID");
    return invocation && *invocation;
}

} // namespace kestrun
