#include "kestrun/ui/backup_form.h"

#include "common/text.h"

#include <algorithm>

namespace kestrun {

const char* backupMessageText(BackupMessage message) {
    switch (message) {
    case BackupMessage::SelectSomething:
        return "Please select something!";
    case BackupMessage::Unstorable:
        return "This path holds a tab or a line break, which the backup list cannot store: "
               "nothing was added.";
    case BackupMessage::None:
        break;
    }
    return "";
}

std::string includeRowText(const BackupEntry& entry) {
    if (entry.mode >= 0 && entry.mode < 3)
        return entry.path + " -> " + kBackupModeNames[entry.mode];
    // Only a hand-edited file holds other modes; a run skips such an entry.
    return entry.path + " -> unknown mode " + std::to_string(entry.mode);
}

bool rowLess(std::string_view a, std::string_view b) {
    const std::string lowerA = toLowerAscii(a);
    const std::string lowerB = toLowerAscii(b);
    if (lowerA != lowerB)
        return lowerA < lowerB;
    return a < b;
}

BackupForm::BackupForm(BackupList& include, BackupList& exclude)
    : include_(include), exclude_(exclude) {
    fillRows();
}

std::string BackupForm::rowText(const BackupEntry& entry) const {
    return mode_ == ListMode::Include ? includeRowText(entry) : entry.path;
}

void BackupForm::fillRows() {
    rows_.clear();
    for (const BackupEntry& entry : mode_ == ListMode::Include ? include_ : exclude_)
        rows_.push_back(rowText(entry));
    std::stable_sort(rows_.begin(), rows_.end(),
                     [](const std::string& a, const std::string& b) { return rowLess(a, b); });
    selectedRow_ = -1;
}

void BackupForm::insertRow(std::string text) {
    const auto at =
        std::upper_bound(rows_.begin(), rows_.end(), text,
                         [](const std::string& a, const std::string& b) { return rowLess(a, b); });
    const auto index = static_cast<int>(at - rows_.begin());
    rows_.insert(at, std::move(text));
    // The selection stays on its row.
    if (selectedRow_ >= index)
        ++selectedRow_;
}

void BackupForm::switchMode(ListMode mode) {
    mode_ = mode;
    fillRows();
}

bool BackupForm::selectRow(int row) {
    selectedRow_ = row >= 0 && row < static_cast<int>(rows_.size()) ? row : -1;
    if (selectedRow_ == -1)
        return false;
    const std::string& text = rows_[static_cast<std::size_t>(selectedRow_)];
    for (const BackupEntry& entry : currentList()) {
        if (rowText(entry) != text)
            continue;
        fields_.path = entry.path;
        if (mode_ == ListMode::Include) {
            fields_.modeIndex = entry.mode;
            fields_.kind = entry.kind;
            if (entry.kind == static_cast<int>(EntryKind::Folder))
                browseFolder_ = entry.path;
        } else {
            browseFolder_ = entry.path;
        }
        return true;
    }
    return false;
}

void BackupForm::fileChosen(const std::string& path) {
    fields_.path = path;
    fields_.kind = static_cast<int>(EntryKind::File);
}

void BackupForm::folderChosen(const std::string& path) {
    if (!path.empty())
        browseFolder_ = path;
    fields_.path = browseFolder_;
    fields_.kind = static_cast<int>(EntryKind::Folder);
}

BackupMessage BackupForm::add() {
    if (fields_.path.empty())
        return BackupMessage::SelectSomething;
    if (fields_.path.find_first_of("\t\r\n") != std::string::npos)
        return BackupMessage::Unstorable;
    BackupEntry entry{fields_.path, 0, 0};
    if (mode_ == ListMode::Include) {
        entry.mode = fields_.modeIndex;
        entry.kind = fields_.kind;
    }
    currentList().push_back(entry);
    insertRow(rowText(entry));
    return BackupMessage::None;
}

void BackupForm::remove() {
    if (selectedRow_ == -1)
        return;
    const auto row = rows_.begin() + selectedRow_;
    BackupList& list = currentList();
    const auto entry = std::find_if(list.begin(), list.end(),
                                    [&](const BackupEntry& e) { return rowText(e) == *row; });
    if (entry == list.end())
        return;
    list.erase(entry);
    rows_.erase(row);
    selectedRow_ = -1;
}

} // namespace kestrun
