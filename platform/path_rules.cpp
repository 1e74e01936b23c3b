#include "platform/path_rules.h"

#include <algorithm>

namespace kestrun {

std::size_t nextPathSeparator(std::string_view path, std::size_t from) {
    if (from >= path.size())
        return std::string_view::npos;
    const auto it =
        std::find_if(path.begin() + static_cast<std::ptrdiff_t>(from), path.end(), isPathSeparator);
    return it == path.end() ? std::string_view::npos : static_cast<std::size_t>(it - path.begin());
}

std::size_t lastPathSeparator(std::string_view path) {
    const auto it = std::find_if(path.rbegin(), path.rend(), isPathSeparator);
    return it == path.rend() ? std::string_view::npos
                             : static_cast<std::size_t>(path.rend() - it) - 1;
}

std::size_t pathRootLength(std::string_view path) {
    std::size_t length = pathDriveLength(path);
    while (length < path.size() && isPathSeparator(path[length]))
        ++length;
    return length;
}

std::string withoutTrailingSeparators(std::string path) {
    const std::size_t keep = pathDriveLength(path) + 1;
    while (path.size() > keep && isPathSeparator(path.back()))
        path.pop_back();
    return path;
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t pos = pathRootLength(path);
    while (pos <= path.size()) {
        const auto end = std::min(nextPathSeparator(path, pos), path.size());
        const std::string_view part = path.substr(pos, end - pos);
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        pos = end + 1;
    }
    return parts;
}

std::string withForwardSlashes(std::string_view path) {
    std::string text(path);
    std::replace_if(text.begin(), text.end(), isPathSeparator, '/');
    return text;
}

bool samePath(std::string_view a, std::string_view b) {
    return a == b || pathKey(a) == pathKey(b);
}

bool isPathWithin(std::string_view path, std::string_view folder) {
    const std::string inner = pathKey(path);
    const std::string outer = pathKey(folder);
    if (outer.empty() || !inner.starts_with(outer))
        return false;
    return inner.size() == outer.size() || isPathSeparator(outer.back()) ||
           isPathSeparator(inner[outer.size()]);
}

PathParts splitPath(std::string_view path) {
    const std::size_t root = rootLength(path);
    const std::size_t last = lastPathSeparator(path);
    if (last == std::string_view::npos || last < root)
        return {path.substr(0, root), path.substr(root)};
    return {path.substr(0, last), path.substr(last + 1)};
}

bool holdsPathSeparator(std::string_view path) {
    return nextPathSeparator(path) != std::string_view::npos || rootLength(path) > 0;
}

std::string joinPath(std::string_view first, std::string_view second) {
    std::string path(first);
    if (!path.empty() && !isPathSeparator(path.back()))
        path += pathSeparator();
    path += second;
    return path;
}

} // namespace kestrun
