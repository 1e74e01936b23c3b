#pragma once

#include "kestrun/ui/list_dialogs.h"

namespace kestrun {

// Stands in while no list dialogs are linked: the lists stay as they are (and are still
// written back by their commands).
class NoListDialogs final : public ListDialogs {
public:
    void editPrograms(QWidget*, ProgramList&) override {}
    void editBackupLists(QWidget*, std::vector<BackupEntry>&, std::vector<BackupEntry>&) override {}
};

} // namespace kestrun
