#include "kbm/paths.h"

#include "platform/data_folder.h"
#include "platform/path_rules.h"

#include <algorithm>

namespace kestrun {

namespace fs = std::filesystem;

std::string markerFolder(const fs::path& dataFolder) {
    return (dataFolder / "KBM" / "tmp").string() + pathSeparator();
}

std::string autodeleteFolder(const fs::path& dataFolder) {
    return (dataFolder / "KBM" / "del").string() + pathSeparator();
}

fs::path runLockFile(const fs::path& workingFolder) {
    return workingFolder / (std::string(kQueueFile) + ".lock");
}

fs::path fallbackRunLockFile(const fs::path& dataFolder) {
    return dataFolder / "KBM" / "kbm.lock";
}

std::optional<std::string> relativePath(std::string_view fullPath) {
    const std::string_view rel = fullPath.substr(pathRootLength(fullPath));
    if (rel.empty())
        return std::nullopt;
    std::string result;
    std::size_t pos = 0;
    while (pos <= rel.size()) {
        const auto end = std::min(nextPathSeparator(rel, pos), rel.size());
        if (rel.substr(pos, end - pos) == "..")
            return std::nullopt;
        result.append(rel.substr(pos, end - pos));
        if (end < rel.size())
            result += pathSeparator(); // one spelling of the separator
        pos = end + 1;
    }
    return result;
}

bool hasLineBreakOrTab(std::string_view path) {
    return path.find_first_of("\t\r\n") != std::string_view::npos;
}

void createFoldersAlong(const std::string& path) {
    const auto slash = lastPathSeparator(path);
    if (slash == std::string::npos || slash < pathRootLength(path))
        return;
    createPrivateFolders(fs::path(path.substr(0, slash)));
}

std::string escapedName(std::string_view name) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\t')
            shown += "\\t";
        else if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c == '\\' && pathSeparator() != '\\')
            shown += "\\\\";
        else if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kDigits[byte >> 4];
            shown += kDigits[byte & 0xF];
        } else
            shown += c;
    }
    return shown;
}

} // namespace kestrun
