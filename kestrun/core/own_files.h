#pragma once

#include "kestrun/supervisor/program_list.h"

#include <string>
#include <vector>

namespace kestrun {

// Names the language mirror never writes: the supervised programs, and the system's own
// programs, lists and keys in case the client application shares the working folder.
std::vector<std::string> namesNotToMirror(const ProgramList& programs);

} // namespace kestrun
