#include "platform/path_rules.h"

namespace kestrun {

std::string_view executableSuffix() {
    return "";
}

std::string_view nullDevice() {
    return "/dev/null";
}

char preferredSeparator() {
    return '/';
}

bool isPathSeparator(char c) {
    return c == '/';
}

std::size_t rootLength(std::string_view path) {
    return !path.empty() && path.front() == '/' ? 1 : 0;
}

bool isAbsolutePath(std::string_view path) {
    return rootLength(path) > 0;
}

std::string applicationsFolder() {
    return "/opt";
}

std::string backupDriveFolder() {
    return "/mnt/backup";
}

} // namespace kestrun
