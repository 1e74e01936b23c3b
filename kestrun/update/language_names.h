#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// Whether a listed name may be written into the client application's folder: not empty, no
// folder separator of either kind, no "..", no control byte (below 0x20, and 0x7F).
bool isMirrorableName(std::string_view name);

// Why a listed name is not a language file that the mirror may write, or an empty text when
// it is one: a hidden name, the name of a program of this workstation or that name followed by
// a dot and more (given as file names, matched without regard to letter case, as the client
// application's system matches them), or a suffix under which a file can be run or loaded as
// code.
std::string runnableNameReason(std::string_view name, const std::vector<std::string>& programs);

} // namespace kestrun
