#include "kvu/updater.h"

#include "common/file_version.h"
#include "platform/clock.h"
#include "platform/log_file.h"
#include "platform/program_launcher.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"
#include "platform/single_instance.h"

#include <string>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStartLine = "\tProgram started\r\n";

fs::file_type typeOf(const fs::path& file) {
    std::error_code ec;
    return fs::symlink_status(file, ec).type();
}

std::uintmax_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : size;
}

} // namespace

Updater::Updater(UpdaterSetup setup) : setup_(std::move(setup)) {}

void Updater::log(std::string_view message) {
    logProgramEvent(file(kLogName), setup_.clock.now(),
                    std::string("kvu: ") + std::string(message));
}

Updater::Outcome Updater::run() {
    if (setup_.beforeServiceStart)
        return runBeforeServiceStart();
    log("waiting for Kestrun to end");
    if (!waitForKestrunToEnd()) {
        log("Kestrun did not end in time, nothing was replaced");
        return Outcome::KestrunStillRunning;
    }
    log("Kestrun has ended");
    if (const std::string reason = unusableReason(); !reason.empty())
        return startOld(reason);
    if (!putNewInPlace())
        return startOld("kestrun could not be replaced");

    const std::uintmax_t logOffset = sizeOf(file(kLogName));
    if (!startKestrun()) {
        putOldBack();
        return startOld("the new Kestrun could not be started");
    }
    if (!keptOld_)
        return Outcome::Replaced;
    if (!waitForStartLine(logOffset)) {
        if (!kestrunHoldsItsLock()) {
            log("the new Kestrun did not report its start and has ended");
            putOldBack();
            return startOld("the new Kestrun did not start");
        }
        log("the new Kestrun did not report its start, kestrun.old kept");
        return Outcome::Replaced;
    }
    std::error_code ec;
    fs::remove(file(kOldName), ec);
    log(ec ? "the new Kestrun runs, kestrun.old could not be removed"
           : "the new Kestrun runs, kestrun.old removed");
    return Outcome::Replaced;
}

// The service manager starts Kestrun once this returns, so nothing here waits or starts a
// Kestrun, and every start without a download stays silent.
Updater::Outcome Updater::runBeforeServiceStart() {
    if (typeOf(file(kNewName)) == fs::file_type::not_found)
        return Outcome::NothingToDo;
    log("kestrun~ found before the service starts Kestrun");
    if (kestrunHoldsItsLock()) {
        log("Kestrun is running, nothing was replaced");
        return Outcome::KestrunStillRunning;
    }
    if (const std::string reason = unusableReason(); !reason.empty()) {
        log(reason + ", kestrun left as it is");
        return Outcome::LeftAsItIs;
    }
    const auto installed = readFileVersion(file(kProgramName));
    const auto fresh = readFileVersion(file(kNewName));
    if (installed && fresh && !(*installed < *fresh)) {
        log("kestrun~ is not newer than kestrun, kestrun left as it is");
        return Outcome::LeftAsItIs;
    }
    if (!putNewInPlace()) {
        log("kestrun could not be replaced, kestrun left as it is");
        return Outcome::LeftAsItIs;
    }
    log("the service starts the new Kestrun, kestrun.old kept");
    return Outcome::Replaced;
}

// Kestrun holds its instance lock while it lives; the lock is free once it has ended. The lock
// is let go at once, so that the Kestrun started next can take it.
bool Updater::kestrunHoldsItsLock() const {
    const SingleInstanceLock lock(kInstanceName, setup_.lockFolders);
    return !lock.acquired();
}

bool Updater::waitForKestrunToEnd() {
    const std::uint64_t deadline =
        setup_.clock.monotonicMs() + static_cast<std::uint64_t>(setup_.endLimit.count());
    for (;;) {
        if (!kestrunHoldsItsLock())
            return true;
        if (setup_.clock.monotonicMs() >= deadline)
            return false;
        setup_.clock.sleepFor(setup_.pollInterval);
    }
}

std::string Updater::unusableReason() {
    const fs::path fresh = file(kNewName);
    if (typeOf(fresh) != fs::file_type::regular)
        return "kestrun~ is missing";
    const auto version = readFileVersion(fresh);
    if (!version)
        return "kestrun~ has no version";
    // The new file takes the mode of the one it replaces, and can always be run by its owner;
    // in a folder its group shares, the group may replace it as the owner may.
    std::error_code ec;
    unsigned mode = 0755;
    if (typeOf(file(kProgramName)) == fs::file_type::regular) {
        const fs::perms old = fs::status(file(kProgramName), ec).permissions();
        if (!ec)
            mode = (static_cast<unsigned>(old) & 07777u) | 0100u;
    }
    if (!applyNewFileMode(openRegularForReadingNoLink(fresh),
                          newFileModeIn(setup_.workingFolder, mode)))
        return "kestrun~ could not be made executable";
    log("kestrun~ carries version " + version->text());
    return {};
}

bool Updater::putNewInPlace() {
    std::error_code ec;
    const fs::file_type installed = typeOf(file(kProgramName));
    if (installed == fs::file_type::regular) {
        fs::rename(file(kProgramName), file(kOldName), ec);
        if (ec)
            return false;
        keptOld_ = true;
        log("kestrun renamed to kestrun.old");
    } else if (installed != fs::file_type::not_found) {
        return false;
    }
    fs::rename(file(kNewName), file(kProgramName), ec);
    if (ec) {
        putOldBack();
        return false;
    }
    log("kestrun~ renamed to kestrun");
    return true;
}

// Returns the new file to its downloaded name and the old one to its place.
void Updater::putOldBack() {
    if (!keptOld_)
        return;
    std::error_code ec;
    if (typeOf(file(kProgramName)) == fs::file_type::regular)
        fs::rename(file(kProgramName), file(kNewName), ec);
    fs::rename(file(kOldName), file(kProgramName), ec);
    keptOld_ = false;
    log(ec ? "the old Kestrun could not be put back" : "the old Kestrun is back in place");
}

bool Updater::startKestrun() {
    const fs::path program = file(kProgramName);
    if (!setup_.launcher.start(program.string(), "", setup_.workingFolder, false)) {
        log("Kestrun could not be started: " + program.string());
        return false;
    }
    log("Kestrun started: " + program.string());
    return true;
}

// The new Kestrun has started once its "Program started" line follows what the log held before.
bool Updater::waitForStartLine(std::uintmax_t logOffset) {
    const std::uint64_t deadline =
        setup_.clock.monotonicMs() + static_cast<std::uint64_t>(setup_.startLimit.count());
    for (;;) {
        if (const auto text = readRegularFile(file(kLogName));
            text && text->size() > logOffset &&
            text->find(kStartLine, static_cast<std::size_t>(logOffset)) != std::string::npos)
            return true;
        if (setup_.clock.monotonicMs() >= deadline)
            return false;
        setup_.clock.sleepFor(setup_.pollInterval);
    }
}

Updater::Outcome Updater::startOld(std::string_view reason) {
    log(std::string(reason) + ", starting the old Kestrun");
    return startKestrun() ? Outcome::OldStarted : Outcome::NothingStarted;
}

} // namespace kestrun
