#include "release/program_names.h"

#include "platform/path_rules.h"

namespace kestrun {

std::string programFileName(std::string_view program) {
    std::string name(program);
    name += executableSuffix();
    return name;
}

std::string downloadFileName(std::string_view program) {
    return programFileName(program) + "~";
}

} // namespace kestrun
