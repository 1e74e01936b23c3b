#include "kestrun/update/program_replace.h"

#include "platform/path_rules.h"
#include "platform/process_table.h"

namespace kestrun {

std::string fileNameOf(std::string_view path) {
    const auto slash = lastPathSeparator(path);
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void closeProgramByName(ProcessTable& processes, std::string_view path) {
    const std::string name = fileNameOf(path);
    if (!name.empty())
        processes.closeFirst(name);
}

} // namespace kestrun
