#pragma once

#include "common/file_version.h"
#include "release/handover_files.h"
#include "release/release_signature.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

class Clock;
class ProgramLauncher;

// What the updater works on; the program passes the real ones, tests temporary folders, a test
// clock and a launcher of their own.
struct UpdaterSetup {
    Clock& clock;
    ProgramLauncher& launcher;
    std::filesystem::path workingFolder;            // Kestrun's folder, where kestrun~ lies
    std::vector<std::filesystem::path> lockFolders; // where Kestrun's instance lock may lie
    std::chrono::milliseconds endLimit{std::chrono::seconds(60)};   // for Kestrun to end
    std::chrono::milliseconds startLimit{std::chrono::seconds(60)}; // for the new one to start
    std::chrono::milliseconds pollInterval{100};
    // Run by the service manager before it starts Kestrun (a service's pre-start step): the
    // manager starts Kestrun itself, so the updater only puts a newer kestrun~ in place.
    bool beforeServiceStart = false;
    // Called once kestrun~ has been read and checked, before anything is put in place: a test
    // changes kestrun~ there.
    std::function<void()> afterCheck{};
};

// The updater: once Kestrun has ended it puts the downloaded "kestrun~" in place of "kestrun"
// and starts Kestrun again. Every step is one line of Kestrun's event log. Only a kestrun~ that
// is newer than kestrun (and than a Kestrun that was rolled back before) is put in place, and
// only in a working folder, and from a file, that no one outside this user's trust may change
// (its group may, in a folder its group shares). The replaced file stays as "kestrun.old" and
// the new Kestrun is on trial (trialMarkerName()) until it has run its first program check; when
// it ends before that, the old file is put back and started, and its version is remembered
// (failedReleaseName()). When there is no usable new file, the old Kestrun starts again; when
// Kestrun does not end in time, nothing is touched. A kestrun~ is put in place only when a
// trusted release key signed it as Kestrun and its version (see releaseHeader) in
// "kestrun~.sig"; it is read once, and exactly the bytes checked are put in place.
// Before a service start it neither waits nor starts anything: with no kestrun~ and no Kestrun
// on trial it does nothing at all; a Kestrun on trial that has ended is rolled back; a
// kestrun~ that is not newer than kestrun is left where it is (an old download must not undo
// an upgrade), and while a Kestrun runs nothing is touched. A newer one is put in place and
// kestrun.old kept, since the new Kestrun starts only after the updater.
class Updater {
public:
    enum class Outcome {
        Replaced,            // the new Kestrun was started
        OldStarted,          // no new Kestrun could be put in place; the old one was started
        KestrunStillRunning, // Kestrun did not end in time; nothing was changed
        NothingStarted,      // no Kestrun could be started at all
        NothingToDo,         // before a service start: nothing was there to put in place
        LeftAsItIs,          // before a service start: kestrun~ could not or need not be used
        RolledBack,          // before a service start: the old Kestrun is back in place
        RollbackFailed,      // before a service start: the old Kestrun could not be put back
        Refused,             // others may change the working folder; nothing was touched
    };

    static constexpr const char* kInstanceName = "KESTRUN_1.0"; // Kestrun's instance lock
    static constexpr const char* kLogName = "Kestrun.log";

    explicit Updater(UpdaterSetup setup);
    Outcome run();

private:
    Outcome runBeforeServiceStart();
    // Why the working folder is not to be acted on, or empty when it may be.
    std::string folderRefusal() const;
    // Whether a Kestrun lives: it holds its instance lock, which is let go again at once when
    // it is free, so that the Kestrun started next can take it.
    bool kestrunHoldsItsLock() const;
    bool waitForKestrunToEnd();
    // Why kestrun~ cannot be used, or empty when it can; when it can, its bytes as they were
    // checked and the mode they are put in place with are kept.
    std::string unusableReason();
    bool putNewInPlace();
    // Returns the new file to its downloaded name and the old one to its place; when the new
    // one failed, its version is remembered.
    void putOldBack(bool newOneFailed);
    // Before a service start: the Kestrun on trial has ended before its first check. False
    // when the old one could not be put back.
    bool rollBackFailedStart();
    void rememberFailed(const std::optional<FileVersion>& version);
    bool startKestrun();
    bool waitForFirstCheck();
    Outcome startOld(std::string_view reason);
    void log(std::string_view message);

    std::filesystem::path file(const std::string& name) const {
        return setup_.workingFolder / name;
    }

    UpdaterSetup setup_;
    // Kestrun's file, its download and the file it is kept as while a new one is on trial.
    const std::string program_ = programFileName(kKestrunProgram);
    const std::string new_ = downloadFileName(kKestrunProgram);
    const std::string old_ = keptOldKestrunName();
    bool keptOld_ = false;
    bool onTrial_ = false;             // the trial marker of the Kestrun put in place was written
    std::optional<ReleaseFile> fresh_; // kestrun~ as it was read and checked
    unsigned freshMode_ = 0755;
};

} // namespace kestrun
