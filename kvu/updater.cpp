#include "kvu/updater.h"

#include "platform/clock.h"
#include "platform/list_file.h"
#include "platform/log_file.h"
#include "platform/program_launcher.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"
#include "platform/single_instance.h"
#include "release/companion_copy.h"
#include "release/handover_files.h"
#include "release/release_signature.h"

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
        return startOld(program_ + " could not be replaced");

    if (!startKestrun()) {
        putOldBack(true);
        return startOld("the new Kestrun could not be started");
    }
    if (!keptOld_)
        return Outcome::Replaced;
    if (!onTrial_) {
        log("the new Kestrun cannot be followed, " + old_ + " kept");
        return Outcome::Replaced;
    }
    if (!waitForFirstCheck()) {
        if (!kestrunHoldsItsLock()) {
            log("the new Kestrun ended before its first check");
            putOldBack(true);
            return startOld("the new Kestrun did not start");
        }
        log("the new Kestrun has not run its first check yet, " + old_ + " kept");
        return Outcome::Replaced;
    }
    std::error_code ec;
    fs::remove(file(old_), ec);
    log("the new Kestrun has run its first check, " + old_ +
        (ec ? " could not be removed" : " removed"));
    return Outcome::Replaced;
}

// The service manager starts Kestrun once this returns, so nothing here waits or starts a
// Kestrun, and every start with neither a download nor a Kestrun on trial stays silent.
Updater::Outcome Updater::runBeforeServiceStart() {
    const bool onTrial = typeOf(file(trialMarkerName())) != fs::file_type::not_found;
    const bool fresh = typeOf(file(new_)) != fs::file_type::not_found;
    if (!onTrial && !fresh)
        return Outcome::NothingToDo;
    if (fresh)
        log(new_ + " found before the service starts Kestrun");
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
        log(reason + ", " + program_ + " left as it is");
        return onTrial ? Outcome::RolledBack : Outcome::LeftAsItIs;
    }
    if (!putNewInPlace()) {
        log(program_ + " could not be replaced, " + program_ + " left as it is");
        return onTrial ? Outcome::RolledBack : Outcome::LeftAsItIs;
    }
    log("the service starts the new Kestrun, " + old_ + " kept");
    return Outcome::Replaced;
}

// The Kestrun put in place at the last start has ended (with a failure, or stopped) before its
// first program check: the old one goes back, and the failed version is not taken again.
bool Updater::rollBackFailedStart() {
    const auto failed = readFileVersion(file(program_));
    const std::string which = "the new Kestrun " + textOf(failed) + " ended before its first check";
    std::error_code ec;
    if (typeOf(file(old_)) != fs::file_type::regular) {
        fs::remove(file(trialMarkerName()), ec);
        log(which + ", there is no " + old_ + " to put back");
        return false;
    }
    rememberFailed(failed);
    fs::rename(file(old_), file(program_), ec);
    if (ec) {
        log(which + ", " + old_ + " could not be put back");
        return false;
    }
    fs::remove(file(trialMarkerName()), ec);
    log(which + ", the old Kestrun " + textOf(readFileVersion(file(program_))) +
        " is back in place");
    return true;
}

void Updater::rememberFailed(const std::optional<FileVersion>& version) {
    if (version && !replaceFile(file(failedReleaseName()), version->text() + "\n"))
        log(failedReleaseName() + " could not be written");
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
    const fs::path fresh = file(new_);
    if (typeOf(fresh) != fs::file_type::regular)
        return new_ + " is missing";
    if (othersMayChangeFile(fresh))
        return "others may change " + new_;
    // Read once, from one open file: its version, its signature and what is put in place are
    // all these bytes, whatever becomes of kestrun~ afterwards.
    fresh_ = readReleaseFile(fresh);
    if (!fresh_)
        return new_ + " could not be read";
    const auto& version = fresh_->version;
    if (!version)
        return new_ + " has no version";
    log(new_ + " carries version " + version->text());
    // Never back: not to the version installed, nor to one that failed to start before.
    if (const auto installed = readFileVersion(file(program_));
        installed && !(*installed < *version))
        return new_ + " " + version->text() + " is not newer than " + program_ + " " +
               installed->text();
    if (const auto text = readRegularFile(file(failedReleaseName()), 64))
        if (const auto failed = parseVersionText(*text); failed && !(*failed < *version))
            return new_ + " " + version->text() + " is not newer than the Kestrun " +
                   failed->text() + " that was rolled back";
    // Only our own releases: the signature Kestrun checked and saved must verify here too.
    const auto signature = readRegularFile(file(newSignatureName()), 256);
    if (!signature)
        return new_ + " has no signature " + newSignatureName();
    if (const std::string refusal =
            releaseRefusal(kKestrunProgram, *fresh_, signature, setup_.workingFolder);
        !refusal.empty())
        return new_ + " is refused, " + refusal;
    // The new file takes the mode of the one it replaces, and can always be run by its owner;
    // in a folder its group shares, the group may replace it as the owner may.
    std::error_code ec;
    freshMode_ = 0755;
    if (typeOf(file(program_)) == fs::file_type::regular) {
        const fs::perms old = fs::status(file(program_), ec).permissions();
        if (!ec)
            freshMode_ = (static_cast<unsigned>(old) & 07777u) | 0100u;
    }
    return {};
}

bool Updater::putNewInPlace() {
    if (setup_.afterCheck)
        setup_.afterCheck();
    const fs::file_type installed = typeOf(file(program_));
    if (!fresh_ || (installed != fs::file_type::regular && installed != fs::file_type::not_found))
        return false;
    // The checked bytes go into a new file of their own beside kestrun, made before anything is
    // moved; kestrun~ itself never takes kestrun's place, so a change of it after the check
    // cannot reach kestrun.
    const auto written = writeProgramBeside(fresh_->content, file(program_), freshMode_);
    if (!written)
        return false;
    std::error_code ec;
    if (installed == fs::file_type::regular) {
        fs::rename(file(program_), file(old_), ec);
        if (ec) {
            fs::remove(*written, ec);
            return false;
        }
        keptOld_ = true;
        log(program_ + " renamed to " + old_);
    }
    fs::rename(*written, file(program_), ec);
    if (ec) {
        fs::remove(*written, ec);
        putOldBack(false);
        return false;
    }
    log(new_ + " copied to " + program_);
    fresh_.reset();
    fs::remove(file(new_), ec);
    fs::remove(file(newSignatureName()), ec);
    // The new one is on trial until its first check; without the marker it could not be told
    // from one that has passed.
    if (keptOld_) {
        onTrial_ =
            replaceFile(file(trialMarkerName()), textOf(readFileVersion(file(program_))) + "\n");
        if (!onTrial_)
            log(trialMarkerName() + " could not be written");
    }
    return true;
}

void Updater::putOldBack(bool newOneFailed) {
    if (!keptOld_)
        return;
    std::error_code ec;
    if (newOneFailed)
        rememberFailed(readFileVersion(file(program_)));
    if (typeOf(file(program_)) == fs::file_type::regular)
        fs::rename(file(program_), file(new_), ec);
    fs::rename(file(old_), file(program_), ec);
    std::error_code markerEc;
    fs::remove(file(trialMarkerName()), markerEc);
    keptOld_ = false;
    onTrial_ = false;
    log(ec ? "the old Kestrun could not be put back" : "the old Kestrun is back in place");
}

bool Updater::startKestrun() {
    const fs::path program = file(program_);
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
        if (typeOf(file(trialMarkerName())) == fs::file_type::not_found)
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
