#include "platform/path_rules.h"

// What is the same on every system; the separators, roots and names are in posix/ and win32/.
namespace kestrun {

PathParts splitPath(std::string_view path) {
    const std::size_t root = rootLength(path);
    std::size_t last = std::string_view::npos;
    for (std::size_t i = path.size(); i-- > root;)
        if (isPathSeparator(path[i])) {
            last = i;
            break;
        }
    if (last == std::string_view::npos)
        return {path.substr(0, root), path.substr(root)};
    return {path.substr(0, last), path.substr(last + 1)};
}

bool holdsPathSeparator(std::string_view path) {
    for (char c : path)
        if (isPathSeparator(c))
            return true;
    return rootLength(path) > 0;
}

std::string joinPath(std::string_view first, std::string_view second) {
    std::string path(first);
    if (!path.empty() && !isPathSeparator(path.back()))
        path += preferredSeparator();
    path += second;
    return path;
}

} // namespace kestrun
