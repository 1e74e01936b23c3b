#include "kvu/updater.h"

#include "kestrun/update/companion_copy.h"
#include "kestrun/update/release_signature.h"
#include "kvu/handover_files.h"
#include "platform/clock.h"
#include "platform/list_file.h"
#include "platform/log_file.h"
#include "platform/program_launcher.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"
#include "platform/single_instance.h"

#include <string>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

fs::file_type typeOf(const fs::path& file) {
    std::error_code ec;
    return fs::symlink_status(file, ec).type();
}

std::string textOf(const std::optional<FileVersion>& version) {
    return version ? version->text() : std::string("without a version");
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
    if (const std::string refusal = folderRefusal(); !refusal.empty()) {
        log(refusal + ", nothing was replaced or started");
        return Outcome::Refused;
    }
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

    if (!startKestrun()) {
        putOldBack(true);
        return startOld("the new Kestrun could not be started");
    }
    if (!keptOld_)
        return Outcome::Replaced;
    if (!onTrial_) {
        log("the new Kestrun cannot be followed, kestrun.old kept");
        return Outcome::Replaced;
    }
    if (!waitForFirstCheck()) {
        if (!kestrunHoldsItsLock()) {
            log("the new Kestrun ended before its first check");
            putOldBack(true);
            return startOld("the new Kestrun did not start");
        }
        log("the new Kestrun has not run its first check yet, kestrun.old kept");
        return Outcome::Replaced;
    }
    std::error_code ec;
    fs::remove(file(kOldName), ec);
    log(ec ? "the new Kestrun has run its first check, kestrun.old could not be removed"
           : "the new Kestrun has run its first check, kestrun.old removed");
    return Outcome::Replaced;
}

// The service manager starts Kestrun once this returns, so nothing here waits or starts a
// Kestrun, and every start with neither a download nor a Kestrun on trial stays silent.
Updater::Outcome Updater::runBeforeServiceStart() {
    const bool onTrial = typeOf(file(kTrialMarkerName)) != fs::file_type::not_found;
    const bool fresh = typeOf(file(kNewName)) != fs::file_type::not_found;
    if (!onTrial && !fresh)
        return Outcome::NothingToDo;
    if (fresh)
        log("kestrun~ found before the service starts Kestrun");
    if (const std::string refusal = folderRefusal(); !refusal.empty()) {
        log(refusal + ", nothing was replaced");
        return Outcome::Refused;
    }
    if (kestrunHoldsItsLock()) {
        log("Kestrun is running, nothing was replaced");
        return Outcome::KestrunStillRunning;
    }
    // With the rollback failed, the files are left for the administrator: a download put in
    // place now could take the place of the good kestrun.old.
    if (onTrial) {
        if (!rollBackFailedStart())
            return Outcome::RollbackFailed;
        if (!fresh)
            return Outcome::RolledBack;
    }
    if (const std::string reason = unusableReason(); !reason.empty()) {
        log(reason + ", kestrun left as it is");
        return onTrial ? Outcome::RolledBack : Outcome::LeftAsItIs;
    }
    if (!putNewInPlace()) {
        log("kestrun could not be replaced, kestrun left as it is");
        return onTrial ? Outcome::RolledBack : Outcome::LeftAsItIs;
    }
    log("the service starts the new Kestrun, kestrun.old kept");
    return Outcome::Replaced;
}

// The Kestrun put in place at the last start has ended (with a failure, or stopped) before its
// first program check: the old one goes back, and the failed version is not taken again.
bool Updater::rollBackFailedStart() {
    const auto failed = readFileVersion(file(kProgramName));
    const std::string which = "the new Kestrun " + textOf(failed) + " ended before its first check";
    std::error_code ec;
    if (typeOf(file(kOldName)) != fs::file_type::regular) {
        fs::remove(file(kTrialMarkerName), ec);
        log(which + ", there is no kestrun.old to put back");
        return false;
    }
    rememberFailed(failed);
    fs::rename(file(kOldName), file(kProgramName), ec);
    if (ec) {
        log(which + ", kestrun.old could not be put back");
        return false;
    }
    fs::remove(file(kTrialMarkerName), ec);
    log(which + ", the old Kestrun " + textOf(readFileVersion(file(kProgramName))) +
        " is back in place");
    return true;
}

void Updater::rememberFailed(const std::optional<FileVersion>& version) {
    if (version && !replaceFile(file(kFailedReleaseName), version->text() + "\n"))
        log(std::string(kFailedReleaseName) + " could not be written");
}

std::string Updater::folderRefusal() const {
    if (!othersMayChange(setup_.workingFolder))
        return {};
    return "others may change the working folder " + setup_.workingFolder.string();
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
    if (othersMayChangeFile(fresh))
        return "others may change kestrun~";
    // Read once, from one open file: its version, its signature and what is put in place are
    // all these bytes, whatever becomes of kestrun~ afterwards.
    fresh_ = readReleaseFile(fresh);
    if (!fresh_)
        return "kestrun~ could not be read";
    const auto& version = fresh_->version;
    if (!version)
        return "kestrun~ has no version";
    log("kestrun~ carries version " + version->text());
    // Never back: not to the version installed, nor to one that failed to start before.
    if (const auto installed = readFileVersion(file(kProgramName));
        installed && !(*installed < *version))
        return "kestrun~ " + version->text() + " is not newer than kestrun " + installed->text();
    if (const auto text = readRegularFile(file(kFailedReleaseName), 64))
        if (const auto failed = parseVersionText(*text); failed && !(*failed < *version))
            return "kestrun~ " + version->text() + " is not newer than the Kestrun " +
                   failed->text() + " that was rolled back";
    // Only our own releases: the signature Kestrun checked and saved must verify here too.
    const auto signature = readRegularFile(file(kNewSignatureName), 256);
    if (!signature)
        return "kestrun~ has no signature " + std::string(kNewSignatureName);
    if (const std::string refusal =
            releaseRefusal(kProgramName, *fresh_, signature, setup_.workingFolder);
        !refusal.empty())
        return "kestrun~ is refused, " + refusal;
    // The new file takes the mode of the one it replaces, and can always be run by its owner;
    // in a folder its group shares, the group may replace it as the owner may.
    std::error_code ec;
    freshMode_ = 0755;
    if (typeOf(file(kProgramName)) == fs::file_type::regular) {
        const fs::perms old = fs::status(file(kProgramName), ec).permissions();
        if (!ec)
            freshMode_ = (static_cast<unsigned>(old) & 07777u) | 0100u;
    }
    return {};
}

bool Updater::putNewInPlace() {
    if (setup_.afterCheck)
        setup_.afterCheck();
    const fs::file_type installed = typeOf(file(kProgramName));
    if (!fresh_ || (installed != fs::file_type::regular && installed != fs::file_type::not_found))
        return false;
    // The checked bytes go into a new file of their own beside kestrun, made before anything is
    // moved; kestrun~ itself never takes kestrun's place, so a change of it after the check
    // cannot reach kestrun.
    const auto written = writeProgramBeside(fresh_->content, file(kProgramName), freshMode_);
    if (!written)
        return false;
    std::error_code ec;
    if (installed == fs::file_type::regular) {
        fs::rename(file(kProgramName), file(kOldName), ec);
        if (ec) {
            fs::remove(*written, ec);
            return false;
        }
        keptOld_ = true;
        log("kestrun renamed to kestrun.old");
    }
    fs::rename(*written, file(kProgramName), ec);
    if (ec) {
        fs::remove(*written, ec);
        putOldBack(false);
        return false;
    }
    log("kestrun~ copied to kestrun");
    fresh_.reset();
    fs::remove(file(kNewName), ec);
    fs::remove(file(kNewSignatureName), ec);
    // The new one is on trial until its first check; without the marker it could not be told
    // from one that has passed.
    if (keptOld_) {
        onTrial_ =
            replaceFile(file(kTrialMarkerName), textOf(readFileVersion(file(kProgramName))) + "\n");
        if (!onTrial_)
            log(std::string(kTrialMarkerName) + " could not be written");
    }
    return true;
}

void Updater::putOldBack(bool newOneFailed) {
    if (!keptOld_)
        return;
    std::error_code ec;
    if (newOneFailed)
        rememberFailed(readFileVersion(file(kProgramName)));
    if (typeOf(file(kProgramName)) == fs::file_type::regular)
        fs::rename(file(kProgramName), file(kNewName), ec);
    fs::rename(file(kOldName), file(kProgramName), ec);
    std::error_code markerEc;
    fs::remove(file(kTrialMarkerName), markerEc);
    keptOld_ = false;
    onTrial_ = false;
    log(ec ? "the old Kestrun could not be put back" : "the old Kestrun is back in place");
}

bool Updater::startKestrun() {
    const fs::path program = file(kProgramName);
    // It would run as this user whatever another user put in it.
    if (othersMayChangeFile(program)) {
        log("Kestrun is not started: others may change " + program.string());
        return false;
    }
    if (!setup_.launcher.start(program.string(), "", setup_.workingFolder, false)) {
        log("Kestrun could not be started: " + program.string());
        return false;
    }
    log("Kestrun started: " + program.string());
    return true;
}

// The new Kestrun has run its first program check once it has taken away its trial marker.
bool Updater::waitForFirstCheck() {
    const std::uint64_t deadline =
        setup_.clock.monotonicMs() + static_cast<std::uint64_t>(setup_.startLimit.count());
    for (;;) {
        if (typeOf(file(kTrialMarkerName)) == fs::file_type::not_found)
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
