#include "platform/program_paths.h"

#include <cstdlib>
#include <string_view>
#include <unistd.h>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

bool isWantedFile(const fs::path& p, bool executableOnly) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && (!executableOnly || ::access(p.c_str(), X_OK) == 0);
}

} // namespace

fs::path currentExecutableDir() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path(ec) : self.parent_path();
}

std::optional<fs::path> locateFile(const std::string& name, const fs::path& folder,
                                   const fs::path& besideFolder, bool executableOnly) {
    for (const fs::path& dir : {folder, besideFolder})
        if (isWantedFile(dir / name, executableOnly))
            return dir / name;
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (!dir.empty() && isWantedFile(fs::path(dir) / name, executableOnly))
            return fs::path(dir) / name;
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

} // namespace kestrun
