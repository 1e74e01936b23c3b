#pragma once

#include "common/backup_list.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// Which list the backup dialog shows and edits.
enum class ListMode { Include, Exclude };

// What the backup dialog shows in its path field and mode list.
struct BackupFields {
    std::string path;
    int modeIndex = 0; // the BackupMode of the next include entry
    int kind = 0;      // EntryKind of the path: 1 after File, 0 after Folder
};

enum class BackupMessage { None, SelectSomething, Unstorable };
const char* backupMessageText(BackupMessage message);

inline constexpr const char* kBackupCaption = "Backup";
inline constexpr const char* kBackupWarningCaption = "Backup - attention! Excluded items";

// The mode list's texts, in BackupMode order.
inline constexpr const char* kBackupModeNames[3] = {"Smart backup", "Synchronization",
                                                    "Full backup with autodelete"};

// An include row: the path and " -> " with its mode's name.
std::string includeRowText(const BackupEntry& entry);
// The order of the sorted list: letters compared without case, ties broken by the bytes.
bool rowLess(std::string_view a, std::string_view b);

// The backup dialog without its window: the fields, the mode, the sorted rows and the actions
// on the two lists. A row stands for the first entry of the current list that gives its text.
class BackupForm {
public:
    BackupForm(BackupList& include, BackupList& exclude);

    BackupFields& fields() { return fields_; }
    const BackupFields& fields() const { return fields_; }
    ListMode listMode() const { return mode_; }
    const std::vector<std::string>& rows() const { return rows_; }
    int selectedRow() const { return selectedRow_; }
    const std::string& browseFolder() const { return browseFolder_; }
    // The attention icon and the warning caption show while exclusions exist.
    bool warns() const { return !exclude_.empty(); }
    const char* caption() const { return warns() ? kBackupWarningCaption : kBackupCaption; }

    void switchMode(ListMode mode);
    // The user selected a row (-1: none); its entry is loaded into the fields. Returns whether
    // the row had an entry.
    bool selectRow(int row);
    void fileChosen(const std::string& path);
    void folderChosen(const std::string& path);
    BackupMessage add();
    void remove();

private:
    std::string rowText(const BackupEntry& entry) const;
    BackupList& currentList() { return mode_ == ListMode::Include ? include_ : exclude_; }
    void fillRows();
    void insertRow(std::string text);

    BackupList& include_;
    BackupList& exclude_;
    ListMode mode_ = ListMode::Include;
    BackupFields fields_;
    std::string browseFolder_;
    std::vector<std::string> rows_;
    int selectedRow_ = -1;
};

} // namespace kestrun
