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

// How the system names things beside paths.

// What an executable's file name ends in: "" on POSIX, ".exe" on Windows.
std::string_view executableSuffix();
// The device that swallows whatever is written to it: "/dev/null", "NUL".
std::string_view nullDevice();
// The folder applications are installed below: "/opt", "C:\Program Files".
std::string applicationsFolder();
// The usual folder of a disk that takes backups: "/mnt/backup" (a mount point), "Z:" (a
// mapped drive).
std::string backupDriveFolder();

// Paths as programs give them (the program list): a drive letter alone ("C:") begins a path
// relative to that drive's current folder, and a share's server and name ("\\server\share\")
// belong to its root.
// The length of the path's root: "/" 1; "C:\" 3, "C:" 2, "\" 1, "\\server\share\" to its end.
std::size_t rootLength(std::string_view path);
bool isAbsolutePath(std::string_view path);
// A path split at its last separator (or a drive letter's ":"): the folder before it and the
// file name after it. A root keeps its separator ("/", "C:\"); a path without a folder gives
// an empty folder.
struct PathParts {
    std::string_view folder;
    std::string_view name;
};
PathParts splitPath(std::string_view path);
bool holdsPathSeparator(std::string_view path);
// The parts joined by the system's separator.
std::string joinPath(std::string_view first, std::string_view second);

} // namespace kestrun
