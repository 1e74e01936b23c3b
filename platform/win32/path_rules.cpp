#include "platform/path_rules.h"

#include "platform/win32/win32_util.h"

namespace kestrun {

char pathSeparator() {
    return '\\';
}

bool isPathSeparator(char c) {
    return c == '\\' || c == '/';
}

std::size_t pathDriveLength(std::string_view path) {
    const bool letter =
        !path.empty() && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return letter && path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// Upper case as the file system folds names (the invariant locale, every letter, not only
// ASCII), with "\" for every separator.
std::string pathKey(std::string_view path) {
    std::wstring wide = win32::widen(path);
    for (wchar_t& c : wide)
        if (c == L'/')
            c = L'\\';
    if (wide.empty())
        return {};
    std::wstring upper(wide.size(), L'\0');
    const int size = static_cast<int>(wide.size());
    if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), size, upper.data(),
                        size, nullptr, nullptr, 0) != size)
        return win32::narrow(wide);
    return win32::narrow(upper);
}

namespace {

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

// "\\server\share\": the server and the share name belong to the root.
std::size_t rootLength(std::string_view path) {
    if (pathDriveLength(path) > 0)
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
    return isUnc(path) || (pathDriveLength(path) > 0 && rootLength(path) == 3);
}

std::string applicationsFolder() {
    return "C:\\Program Files";
}

std::string backupDriveFolder() {
    return "Z:";
}

} // namespace kestrun
