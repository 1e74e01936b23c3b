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

} // namespace kestrun
