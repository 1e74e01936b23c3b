#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// How an include entry is backed up; the value is the entry's `mode` field.
enum class BackupMode : std::int32_t {
    SmartBackup = 0,
    Synchronization = 1,
    FullBackupWithAutodelete = 2,
};

// Whether an entry's path names a folder or a file; any non-zero `kind` counts as File.
enum class EntryKind : std::int32_t {
    Folder = 0,
    File = 1,
};

// One entry of the include or the exclude list. Exclude entries carry only a path.
struct BackupEntry {
    std::string path;
    std::int32_t mode = 0;
    std::int32_t kind = 0;

    bool isFile() const { return kind != 0; }
    friend bool operator==(const BackupEntry&, const BackupEntry&) = default;
};

using BackupList = std::vector<BackupEntry>;

inline constexpr const char* kIncludeListFile = "backup.lst";
inline constexpr const char* kExcludeListFile = "xbackup.lst";

// One "backup.lst" line without its line end: path, tab, mode, tab, kind. A line with fewer
// than two tabs gives nothing; the numbers are read as decimal prefixes.
std::optional<BackupEntry> parseIncludeLine(std::string_view line);
// "path\tmode\tkind\r\n"
std::string formatIncludeLine(const BackupEntry& entry);

// Appends the entries of "backup.lst" / "xbackup.lst" in the working folder to the list.
// A file that cannot be read leaves the list as it was.
void loadIncludeList(const std::filesystem::path& workingFolder, BackupList& include);
void loadExcludeList(const std::filesystem::path& workingFolder, BackupList& exclude);

// Rewrites "backup.lst" and then "xbackup.lst" from the lists, whole, even when nothing
// changed. Each file is written to a temporary name and renamed into place, so a failed
// write keeps the old file; in a folder the user may not write, a list file the user may
// write is overwritten in place. A file that cannot be written (or is read-only) is skipped
// silently and the other one is still written.
void saveBackupLists(const std::filesystem::path& workingFolder, const BackupList& include,
                     const BackupList& exclude);

} // namespace kestrun
