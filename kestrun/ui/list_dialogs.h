#pragma once

#include "common/backup_list.h"
#include "kestrun/supervisor/program_list.h"

#include <vector>

class QWidget;

namespace kestrun {

// Opens the list dialogs modally; the command writes the list files however the dialog closed.
class ListDialogs {
public:
    virtual ~ListDialogs() = default;
    virtual void editPrograms(QWidget* parent, ProgramList& programs) = 0;
    virtual void editBackupLists(QWidget* parent, std::vector<BackupEntry>& include,
                                 std::vector<BackupEntry>& exclude) = 0;
};

} // namespace kestrun
