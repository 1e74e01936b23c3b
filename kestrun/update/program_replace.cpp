#include "kestrun/update/program_replace.h"

#include "platform/process_table.h"

namespace kestrun {

namespace fs = std::filesystem;

std::string fileNameOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void closeProgramByName(ProcessTable& processes, std::string_view path) {
    const std::string name = fileNameOf(path);
    if (!name.empty())
        processes.closeFirst(name);
}

std::optional<fs::perms> fileMode(const fs::path& file) {
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (ec || !fs::exists(status))
        return std::nullopt;
    return status.permissions();
}

bool copyExecutable(const fs::path& from, const fs::path& to, std::optional<fs::perms> mode) {
    std::error_code ec;
    if (!fs::is_regular_file(from, ec))
        return false;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        return false;
    fs::permissions(to, mode.value_or(fs::perms(0755)), fs::perm_options::replace, ec);
    return true;
}

} // namespace kestrun
