#pragma once

#include "kestrun/update/web_updates.h"
#include "release/release_signature.h"

#include <filesystem>
#include <functional>

namespace kestrun {

class EventLog;
class ProgramLauncher;
struct Settings;

// Our own programs that keep themselves current from our web site; the number is their kind
// in the manifest and among the downloads.
enum class OwnProgram { Kestrun = 1, Kbm = 2, Updater = 3 };

// The three checks that keep Kestrun, the backup program and the updater current. Each
// compares the version of the installed file (in the current folder) with the one our site's
// manifest names, and fetches a newer one into the working folder. A download is kept only
// when its detached signature "<name>.sig" verifies against a trusted release key for its
// bytes under the program's own name and the version they carry (see releaseHeader);
// otherwise it is deleted. A newer backup program or updater is put in place of the installed
// one in the working folder from the very bytes that were checked; a newer Kestrun is handed to the
// updater "kvu", and the process ends so that the updater can put the new file in place (see
// HandOver); only the working folder's "kvu" takes over, when no one else may change it. A Kestrun
// that the updater had to roll back ("kestrun.failed") is not fetched again, nor any that is not
// newer than it. The version of the downloaded file itself decides as the manifest's does: a
// download that is not newer is deleted, as one that failed.
// The caller runs the checks only in a working folder that no one outside this user's trust
// may change.
class SelfUpdate {
public:
    // Ends the process with the status; the program's never returns.
    using EndProcess = std::function<void(int status)>;

    static constexpr const char* kNoConnection = "Could not connect: Tavisoft Web server";
    static constexpr const char* kDownloadFailed =
        "Error in downloading update from web: Tavisoft Web server";
    static constexpr const char* kHandingOver = "Preparing for updates, will be terminated.";
    static constexpr const char* kUpdaterNotStarted = "Could not start the updater: ";
    // Followed by the updater's path: a link, or a file others may write, takes no hand-over.
    static constexpr const char* kUpdaterRefused =
        "Update not handed over: others may change the updater ";
    // Followed by the program's name, ", download deleted: " and the reason.
    static constexpr const char* kRefused = "Update refused for ";
    static constexpr int kHandOverStatus = 1;

    // How a newer Kestrun takes over. On a desktop Kestrun starts the updater and ends; the
    // updater puts the new file in place once it has ended and starts it. As a service Kestrun
    // only ends with the hand-over status: the service manager restarts it on that status and
    // runs the updater before each start, so the new file is in place before it starts.
    enum class HandOver { StartUpdater, ServiceRestarts };

    // currentFolder: where the installed files are looked up for their versions (empty: the
    // process's current directory, whatever it is at the time of a check).
    SelfUpdate(WebUpdates web, const EventLog& log, ProgramLauncher& launcher,
               std::filesystem::path workingFolder, EndProcess endProcess,
               std::filesystem::path currentFolder = {},
               HandOver handOver = HandOver::StartUpdater);

    // Kestrun itself. An installed file without a version stops the check silently.
    void checkKestrun();
    // The backup program or the updater. An installed file without a version counts as
    // 0.0.0.0, so a missing one is fetched.
    void checkCompanion(OwnProgram companion);

private:
    // The newer version's download as it was read and checked, or nullopt (with its log line)
    // when there is none to take; a download that failed, whose own version is not newer or
    // that is not signed is deleted.
    std::optional<ReleaseFile> fetchIfNewer(OwnProgram program, const FileVersion& installed);
    // Whether a trusted key signed the download as this program and its version; one that is
    // not is deleted and logged. Kestrun's signature is saved beside it ("kestrun~.sig") for
    // the updater.
    bool keepIfSigned(OwnProgram program, const ReleaseFile& release);
    void refuse(OwnProgram program, const std::string& reason);
    void removeDownload(OwnProgram program);
    std::filesystem::path localFile(OwnProgram program) const;

    WebUpdates web_;
    const EventLog& log_;
    ProgramLauncher& launcher_;
    std::filesystem::path workingFolder_;
    EndProcess endProcess_;
    std::filesystem::path currentFolder_;
    HandOver handOver_;
};

// The new Kestrun has run its first program check: it is no longer on trial, and the updater
// will not roll it back.
void confirmFirstCheck(const std::filesystem::path& workingFolder);

// Ends the process at once with the status: no window is closed, nothing is cleaned up.
[[noreturn]] void endProcessNow(int status);

// A clean end (a stop of the service, the terminal's interrupt) ends the process at once with
// status 0. A new Kestrun that ends so before its first program check has not failed: its
// trial ends, and the updater does not roll it back; only a crash does.
[[noreturn]] void endCleanly(const std::filesystem::path& workingFolder);

// The checks as the main window runs them, on its settings, log and working folder; a hand-over
// to the updater ends the process at once. Run as a service, the service manager restarts it.
SelfUpdate programSelfUpdate(const Settings& settings, const EventLog& log,
                             ProgramLauncher& launcher, const std::filesystem::path& workingFolder);

} // namespace kestrun
