#pragma once

#include <cstdint>
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

// Appends the entries of the lines of "backup.lst" / "xbackup.lst" to the list; lines that
// could not be read (nullopt, see readListLines in platform/list_file.h) leave it as it was.
void appendIncludeEntries(const std::optional<std::vector<std::string>>& lines,
                          BackupList& include);
void appendExcludeEntries(const std::optional<std::vector<std::string>>& lines,
                          BackupList& exclude);

// The whole text of "backup.lst" / "xbackup.lst" for the list, each entry a CR LF line. The
// files are replaced whole with it, even when nothing changed (replaceFile: a failed write
// keeps the old file, a read-only one is skipped).
std::string includeListText(const BackupList& include);
std::string excludeListText(const BackupList& exclude);

} // namespace kestrun
