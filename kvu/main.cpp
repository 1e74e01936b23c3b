#include "kvu/updater.h"
#include "platform/clock.h"
#include "platform/program_launcher.h"
#include "platform/single_instance.h"

#include <QCoreApplication>

#include <cstdio>
#include <filesystem>

// The updater: started by Kestrun in its working folder once a newer Kestrun is downloaded.
int main(int argc, char** argv) {
    // The updater has no console: what Kestrun or the updater would print goes nowhere, so a
    // terminal or pipe that has gone away cannot end the Kestrun it starts.
    for (std::FILE* stream : {stdout, stderr})
        if (!std::freopen("/dev/null", "w", stream))
            return 1;
    QCoreApplication app(argc, argv);
    kestrun::SystemClock clock;
    kestrun::DetachedProgramLauncher launcher;
    std::error_code ec;
    kestrun::Updater updater({clock, launcher, std::filesystem::current_path(ec),
                              kestrun::SingleInstanceLock::lockFolders()});
    return updater.run() == kestrun::Updater::Outcome::Replaced ? 0 : 1;
}
