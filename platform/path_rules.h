#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrun {

// How this system writes paths and names its files. POSIX: "/" separates, and a path is
// absolute when it begins with "/". Windows: "\" and "/" both separate, a drive letter with its
// separator ("C:\") or two separators ("\\server\share") begin an absolute path, and a drive
// letter alone ("C:") begins one relative to that drive's current folder. On both, file names
// are matched lower-cased; a path handed to the system keeps its case.

// What an executable's file name ends in: "" on POSIX, ".exe" on Windows.
std::string_view executableSuffix();
// The device that swallows whatever is written to it: "/dev/null", "NUL".
std::string_view nullDevice();
// The separator this system writes: '/', '\'.
char preferredSeparator();

bool isPathSeparator(char c);
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

// The folder applications are installed below: "/opt", "C:\Program Files".
std::string applicationsFolder();
// The usual folder of a disk that takes backups: "/mnt/backup" (a mount point), "Z:" (a
// mapped drive).
std::string backupDriveFolder();

// The parts joined by the preferred separator.
std::string joinPath(std::string_view first, std::string_view second);

} // namespace kestrun
