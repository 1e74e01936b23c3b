#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace kestrun {

// What came of a start: the started process, or why nothing started.
struct StartResult {
    StartResult(std::int64_t startedPid) : pid(startedPid) {}
    StartResult(std::nullopt_t, std::string why = "failed") : reason(std::move(why)) {}

    // The process started (0: a file opened by a program that was already running).
    std::optional<std::int64_t> pid;
    // Why nothing started, in a few words ("file not found", "exec failed: Permission
    // denied"); empty after a start.
    std::string reason;

    explicit operator bool() const { return pid.has_value(); }
};

// How a started process ended.
struct ProgramExit {
    bool signalled = false; // ended by a signal
    int code = 0;           // its exit status, or the signal's number
};

// Starts programs without waiting for them.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;

    // Starts the file at path (case kept as given) with the parameters, split into words the
    // way a shell splits them (quotes group, no shell runs), in the working folder (empty: the
    // current directory). An executable file runs itself; a ".jar" runs as
    // "java -jar <path> <parameters>"; any other existing file is opened with "xdg-open <path>".
    // A bare name without a folder is looked up in the working folder, then beside the running
    // program, then on PATH (a ".jar" as any regular file, anything else as an executable), and
    // the file found starts in its own folder. minimised is accepted for the callers' sake and
    // has no effect here. Returns the pid of the started process, or why nothing could be
    // started (nothing found, a NUL byte in the path or the parameters, a failed exec).
    //
    // On Windows the parameters are the command line's tail, as the program reads it itself: an
    // .exe or .com starts with CreateProcess (a console program in a console of its own), a
    // ".jar" as "javaw -jar <path> <parameters>", any other file with ShellExecuteEx "open";
    // minimised shows the program's window minimised and not activated. A bare name is looked
    // up as above, also with ".exe" added, in the folders of PATH split at ";".
    virtual StartResult start(const std::string& path, const std::string& parameters,
                              const std::filesystem::path& workingFolder, bool minimised) = 0;

    // How a process this launcher started has ended, once it has; asked once (the launcher
    // forgets it then). nullopt while it runs (after a wait of a few milliseconds, for a process
    // that is just ending), for a pid it did not start, and where the system does not tell.
    virtual std::optional<ProgramExit> exitOf(std::int64_t /*pid*/) { return std::nullopt; }
    // Collects the processes this launcher started that have ended since, so none stays
    // behind as a zombie; their exit waits for exitOf.
    virtual void collectEnded() {}
    // Whether a process this launcher started has ended (its exit still waits for exitOf);
    // false while it runs and where the system does not tell. Its id may belong to another
    // process by now. Does not wait.
    virtual bool hasEnded(std::int64_t /*pid*/) { return false; }
};

// Starts detached processes: each in a new session of its own. Here a started process is a
// child of the caller, so its exit status can be known: a child that has ended is collected at
// the launcher's next call (start, exitOf, collectEnded), and stays a zombie until then. The
// statuses of at most kKeptExits ended children wait for exitOf. Safe to use from any thread.
//
// On Windows the started process is no child to wait for: exitOf tells nothing there.
class DetachedProgramLauncher final : public ProgramLauncher {
public:
    // Bare names are looked up beside the running executable, or in besideFolder instead.
    DetachedProgramLauncher();
    explicit DetachedProgramLauncher(std::filesystem::path besideFolder);

    StartResult start(const std::string& path, const std::string& parameters,
                      const std::filesystem::path& workingFolder, bool minimised) override;
    std::optional<ProgramExit> exitOf(std::int64_t pid) override;
    void collectEnded() override;
    bool hasEnded(std::int64_t pid) override;

    static constexpr std::size_t kKeptExits = 256;

private:
    void collectLocked();

    std::filesystem::path besideFolder_;
    std::mutex mutex_;
    // The children started and not yet asked about: nullopt while they run.
    std::map<std::int64_t, std::optional<ProgramExit>> children_;
};

} // namespace kestrun
