#pragma once

namespace kestrun {

// Moves the whole process to the lowest CPU priority (nice 19) and the idle I/O class, so
// that its work never competes with the user's. Returns false when either change failed.
bool setIdleProcessPriority();

} // namespace kestrun
