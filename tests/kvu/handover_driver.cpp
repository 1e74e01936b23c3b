// An old Kestrun for the hand-over tests: the real main window on the real platform, which
// gets the self-update message at once instead of after 241 beats.
#include "kestrun/core/kestrun_app.h"
#include "kestrun/core/kestrun_dlg.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"

#include <QApplication>

#include <filesystem>

int main(int argc, char** argv) {
    using namespace kestrun;
    SingleInstanceLock instance(CKestrunApp::kInstanceName);
    if (!instance.acquired())
        return 2;
    QApplication app(argc, argv);
    SystemClock clock;
    IniSettingsStore store(IniSettingsStore::defaultFile());
    AutostartEntry autostart(AutostartEntry::defaultFile());
    ProcProcessTable processes(clock);
    DetachedProgramLauncher launcher;
    std::error_code ec;
    CKestrunDlg window(
        {clock, store, autostart, processes, launcher, std::filesystem::current_path(ec), false});
    window.initialize();
    window.handleMessage(KsnMessage::SelfUpdate);
    window.updates().waitUntilIdle();
    return 0; // no newer Kestrun: the hand-over ends the process with its own status
}
