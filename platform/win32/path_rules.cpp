#include "platform/path_rules.h"

namespace kestrun {

namespace {

bool hasDriveLetter(std::string_view path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

bool isUnc(std::string_view path) {
    return path.size() >= 2 && isPathSeparator(path[0]) && isPathSeparator(path[1]);
}

} // namespace

std::string_view executableSuffix() {
    return ".exe";
}

std::string_view nullDevice() {
    return "NUL";
}

char preferredSeparator() {
    return '\\';
}

bool isPathSeparator(char c) {
    return c == '\\' || c == '/';
}

// "\\server\share\": the server and the share name belong to the root.
std::size_t rootLength(std::string_view path) {
    if (hasDriveLetter(path))
        return path.size() > 2 && isPathSeparator(path[2]) ? 3 : 2;
    if (!isUnc(path))
        return !path.empty() && isPathSeparator(path[0]) ? 1 : 0;
    std::size_t i = 2;
    for (int part = 0; part < 2 && i < path.size(); ++part) {
        while (i < path.size() && !isPathSeparator(path[i]))
            ++i;
        if (i < path.size())
            ++i;
    }
    return i;
}

bool isAbsolutePath(std::string_view path) {
    return isUnc(path) || (hasDriveLetter(path) && rootLength(path) == 3);
}

std::string applicationsFolder() {
    return "C:\\Program Files";
}

std::string backupDriveFolder() {
    return "Z:";
}

} // namespace kestrun
