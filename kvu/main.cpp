#include "kvu/updater.h"
#include "platform/clock.h"
#include "platform/path_rules.h"
#include "platform/program_launcher.h"
#include "platform/service_manager.h"
#include "platform/single_instance.h"

#include <QCoreApplication>

#include <cstdio>
#include <filesystem>
#include <string>

// The updater: started by Kestrun in its working folder once a newer Kestrun is downloaded, or
// by the service manager in that folder before it starts Kestrun.
int main(int argc, char** argv) {
    // Run by the service manager (the unit's step before Kestrun's start), it leaves the start
    // to the manager, which then knows the Kestrun it runs; its lines go to the journal too.
    const bool beforeServiceStart = kestrun::runsAsService();
    // Started by Kestrun it has no console: what Kestrun or the updater would print goes
    // nowhere, so a terminal or pipe that has gone away cannot end the Kestrun it starts. The
    // streams are led there only when that device opens (a reopen that failed would leave them
    // closed, for the started Kestrun's first files to take their place); one that cannot be
    // reopened (of a Windows program without a usable console) reaches no one either, and the
    // update goes on.
    const std::string nowhere(kestrun::nullDevice());
    if (std::FILE* probe = beforeServiceStart ? nullptr : std::fopen(nowhere.c_str(), "w")) {
        std::fclose(probe);
        for (std::FILE* stream : {stdout, stderr})
            if (!std::freopen(nowhere.c_str(), "w", stream))
                continue;
    }
    QCoreApplication app(argc, argv);
    kestrun::SystemClock clock;
    kestrun::DetachedProgramLauncher launcher;
    std::error_code ec;
    kestrun::UpdaterSetup setup{clock, launcher, std::filesystem::current_path(ec),
                                kestrun::SingleInstanceLock::lockFolders()};
    setup.beforeServiceStart = beforeServiceStart;
    using Outcome = kestrun::Updater::Outcome;
    const Outcome outcome = kestrun::Updater(setup).run();
    return outcome == Outcome::Replaced || outcome == Outcome::NothingToDo ||
                   outcome == Outcome::RolledBack
               ? 0
               : 1;
}
