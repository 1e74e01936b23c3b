#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// How the system spells and compares paths. POSIX: components separate at "/", a path is
// absolute when it begins with "/", names compare byte for byte. Windows: components separate
// at "\" (and "/"), a path begins with a drive ("C:\") or a share ("\\server\share"), and
// names that differ only in letter case name the same file.

// The separator the system writes between a folder and a name.
char pathSeparator();
bool isPathSeparator(char c);
// The drive a path begins with ("C:"); 0 where the system has no drives.
std::size_t pathDriveLength(std::string_view path);
// A path as the system compares it: equal keys name the same path (on Windows letter case and
// the separator's spelling folded; elsewhere the path itself).
std::string pathKey(std::string_view path);

// What follows from those rules, the same on every system.

// Where the next (from `from` on) or last separator stands; npos when there is none.
std::size_t nextPathSeparator(std::string_view path, std::size_t from = 0);
std::size_t lastPathSeparator(std::string_view path);
// The length of a path's root: its drive and the separators after it ("/", "C:\"); 0 for a
// relative path.
std::size_t pathRootLength(std::string_view path);
// The path without separators at its end; a root keeps its own ("/", "C:\").
std::string withoutTrailingSeparators(std::string path);
// The components of a path below its root, without empty ones and ".".
std::vector<std::string> pathComponents(std::string_view path);
// The path with the system's separators written as "/", as remote paths and URLs are.
std::string withForwardSlashes(std::string_view path);
bool samePath(std::string_view a, std::string_view b);
// Whether a path is the folder or lies below it.
bool isPathWithin(std::string_view path, std::string_view folder);

} // namespace kestrun
