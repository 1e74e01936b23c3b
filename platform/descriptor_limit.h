#pragma once

namespace kestrun {

// Raises the process's soft limit of open descriptors to its hard limit, so that many
// connections, files and the process table's reads never run it dry. False when the limit
// could not be read or raised (it is then left as it was).
bool raiseDescriptorLimit();

} // namespace kestrun
