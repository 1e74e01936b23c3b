#pragma once

#include <string>
#include <string_view>

namespace kestrun {

class ProcessTable;

// The file name of a path: the text after its last separator (the whole text without one).
std::string fileNameOf(std::string_view path);

// Ends the first running process whose executable has the path's file name, compared without
// regard to letter case. No such process does nothing; nothing is logged.
void closeProgramByName(ProcessTable& processes, std::string_view path);

} // namespace kestrun
