#include "platform/path_rules.h"

namespace kestrun {

char pathSeparator() {
    return '/';
}

bool isPathSeparator(char c) {
    return c == '/';
}

std::size_t pathDriveLength(std::string_view /*path*/) {
    return 0;
}

std::string pathKey(std::string_view path) {
    return std::string(path);
}

std::string_view executableSuffix() {
    return "";
}

std::string_view nullDevice() {
    return "/dev/null";
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
