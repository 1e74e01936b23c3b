#include "platform/process_priority.h"

#include <windows.h>

namespace kestrun {

// The idle class for the CPU; background mode lowers the I/O and memory priority as well.
bool setIdleProcessPriority() {
    const HANDLE self = ::GetCurrentProcess();
    const bool cpu = ::SetPriorityClass(self, IDLE_PRIORITY_CLASS) != 0;
    const bool io = ::SetPriorityClass(self, PROCESS_MODE_BACKGROUND_BEGIN) != 0;
    return cpu && io;
}

} // namespace kestrun
