#include "kestrun/ui/list_dialogs_impl.h"

#include "kestrun/ui/backup_dlg.h"
#include "kestrun/ui/programs_dlg.h"
#include "platform/clock.h"

namespace kestrun {

ListDialogsImpl::ListDialogsImpl(Clock& clock) : clock_(clock), prompts_(qtPrompts_) {}

ListDialogsImpl::ListDialogsImpl(Clock& clock, ListPrompts& prompts)
    : clock_(clock), prompts_(prompts) {}

void ListDialogsImpl::editPrograms(QWidget* parent, ProgramList& programs) {
    CProgramsDlg dialog(programs, clock_.now(), prompts_, parent);
    dialog.exec();
}

void ListDialogsImpl::editBackupLists(QWidget* parent, std::vector<BackupEntry>& include,
                                      std::vector<BackupEntry>& exclude) {
    CBackupDlg dialog(include, exclude, prompts_, parent);
    dialog.exec();
}

} // namespace kestrun
