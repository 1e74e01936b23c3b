#include "kestrun/core/kestrun_app.h"

#include "kestrun/core/event_log.h"
#include "kestrun/core/kestrun_dlg.h"
#include "kestrun/core/second_start.h"
#include "kestrun/ui/commands.h"
#include "kestrun/update/self_update.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/descriptor_limit.h"
#include "platform/display.h"
#include "platform/interrupt_notifier.h"
#include "platform/offscreen_font.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/service_manager.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"

#include <QApplication>

#include <filesystem>

namespace kestrun {

int CKestrunApp::run(int argc, char** argv) {
    // Held for the life of the process; the kernel releases it when the process ends.
    SingleInstanceLock instance(kInstanceName);
    if (!instance.acquired()) {
        SystemClock clock;
        std::error_code ec;
        // The running one shows its window.
        SecondStart::handOver(instance.file(), EventLog(clock, std::filesystem::current_path(ec)));
        return 0;
    }

    runsAsService(); // read once, before any program is started from here
    // The update server's connections, the process table's reads and the logs all take
    // descriptors; the soft limit of 1024 most sessions start with is far below the hard one.
    raiseDescriptorLimit();
    chooseOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    useInstalledFontOffscreen();
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Kestrun"));

    SystemClock clock;
    IniSettingsStore store(IniSettingsStore::defaultFile());
    AutostartEntry autostart(AutostartEntry::defaultFile());
    ProcProcessTable processes(clock);
    DetachedProgramLauncher launcher;
    std::error_code ec;
    CKestrunDlg window(
        {clock, store, autostart, processes, launcher, std::filesystem::current_path(ec)});
    // systemd's stop and Ctrl-C end Kestrun at once, as a clean end.
    InterruptNotifier ending([&window] { endCleanly(window.workingFolder()); }, true);
    window.initialize();
    const auto secondStarts = SecondStart::listen(instance.file(), [&window] {
        window.commands().open();
        window.log(SecondStart::kShownLine);
    });
    window.show();
    window.raise();
    window.activateWindow();
    return QApplication::exec();
}

} // namespace kestrun
