#include "platform/descriptor_limit.h"

#include <sys/resource.h>

namespace kestrun {

namespace {

// Used when the hard limit is unlimited, which the kernel never grants as a soft limit.
constexpr rlim_t kUnlimitedFallback = 1 << 20;

} // namespace

bool raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return true;
    if (limit.rlim_max != RLIM_INFINITY || limit.rlim_cur >= kUnlimitedFallback)
        return false;
    raised.rlim_cur = kUnlimitedFallback;
    return ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
}

} // namespace kestrun
