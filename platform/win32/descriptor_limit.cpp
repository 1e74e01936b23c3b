#include "platform/descriptor_limit.h"

#include <cstdio>

namespace kestrun {

// Windows limits kernel handles per process far beyond anything the programs open; only the C
// runtime's table of descriptors has a limit of its own, which is raised to its highest.
bool raiseDescriptorLimit() {
    return ::_setmaxstdio(8192) == 8192;
}

} // namespace kestrun
