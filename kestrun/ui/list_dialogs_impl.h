#pragma once

#include "kestrun/ui/list_dialogs.h"
#include "kestrun/ui/list_prompts.h"

namespace kestrun {

class Clock;

// Runs the programs dialog and the backup list dialog modally on the lists given.
class ListDialogsImpl final : public ListDialogs {
public:
    // The clock gives the time the daily-time picker starts at.
    explicit ListDialogsImpl(Clock& clock);
    // Tests answer the message boxes and choosers themselves.
    ListDialogsImpl(Clock& clock, ListPrompts& prompts);

    void editPrograms(QWidget* parent, ProgramList& programs) override;
    void editBackupLists(QWidget* parent, std::vector<BackupEntry>& include,
                         std::vector<BackupEntry>& exclude) override;

private:
    Clock& clock_;
    QtListPrompts qtPrompts_;
    ListPrompts& prompts_;
};

} // namespace kestrun
