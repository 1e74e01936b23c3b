#include "platform/process_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrun {

namespace {

// From linux/ioprio.h, which not every libc exposes.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;

} // namespace

bool setIdleProcessPriority() {
    const bool cpu = ::setpriority(PRIO_PROCESS, 0, 19) == 0;
#ifdef SYS_ioprio_set
    const bool io =
        ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift) == 0;
#else
    const bool io = false;
#endif
    return cpu && io;
}

} // namespace kestrun
