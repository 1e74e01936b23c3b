#include "platform/program_paths.h"

// The parts of the program lookup that are the same on every system; the search itself and
// the running program's folder are in posix/ and win32/.
namespace kestrun {

namespace fs = std::filesystem;

std::optional<fs::path> locateProgram(const std::string& name, const fs::path& folder) {
    return locateFile(name, folder, currentExecutableDir(), true);
}

std::optional<std::string> linkTargetName(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_symlink(path, ec))
        return std::nullopt;
    const fs::path target = fs::canonical(path, ec);
    if (ec)
        return std::nullopt;
    return target.filename().string();
}

} // namespace kestrun
