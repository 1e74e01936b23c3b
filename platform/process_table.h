#pragma once

#include "platform/clock.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// One running process as the process table sees it.
struct ProcessInfo {
    long pid = 0;
    // The names the process is known by, as the system gives them (case kept): the base name of
    // its executable (of argv[0] only when the executable cannot be read); and for an
    // interpreter that runs a script whose "#!" line names that interpreter, the script's base
    // name.
    std::vector<std::string> names;
    // For a process whose executable is "java" or "javaw": its command line, the arguments
    // joined by single blanks (nullopt for every other process, and for an empty command line).
    std::optional<std::string> javaCommandLine;
    // For a process whose executable is an interpreter (isInterpreterName): its first argument
    // that names a regular file, the script it runs, as a full path (a relative one taken from
    // the process's current folder); nullopt when it names none.
    std::optional<std::string> script;
};

// Whether processes of the executable of this file name are interpreters whose script the
// table tells (ProcessInfo::script): "python3", "python3.11", "perl", "node", "sh", "bash" ...
// On Windows the table reads no interpreter's arguments: false for every name.
bool isInterpreterName(std::string_view fileName);

class ProcFolder;
class InterpreterResolver;
struct RawProcess;

// The running processes of the user this program runs as (of everyone when it runs as root).
class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // Every process of the user that has a name, in the order the system lists them (ascending
    // pid); nullopt when the table cannot be read at all.
    virtual std::optional<std::vector<ProcessInfo>> processes() = 0;

    // Ends the first process of the user (lowest pid, never the calling process) known by this
    // name (see ProcessInfo::names), compared ASCII case-insensitively: SIGTERM, then SIGKILL if
    // it still lives 1 s later. False when no such process exists or it could not be signalled.
    virtual bool closeFirst(std::string_view executableName) = 0;

    // The Java command lines of processes(), in its order; nullopt when the table cannot be read.
    std::optional<std::vector<std::string>> javaCommandLines();
};

// The process table read from /proc. A process counts as the user's when its real uid is the
// real uid of this program.
//
// On Windows the table is a Toolhelp32 snapshot (the image names; for java.exe and javaw.exe
// the command line, read from the process), procRoot plays no part, only the processes of this
// user's account count, and closeFirst asks the process's windows to close before it ends it.
class ProcProcessTable final : public ProcessTable {
public:
    // procRoot is the folder that holds one folder per pid ("/proc"); the clock times the wait
    // of closeFirst.
    explicit ProcProcessTable(Clock& clock, std::filesystem::path procRoot = "/proc");

    std::optional<std::vector<ProcessInfo>> processes() override;
    bool closeFirst(std::string_view executableName) override;

    // Whose processes count: the real uid this table was made with; 0 means everyone's.
    std::uint32_t viewer() const { return viewer_; }

private:
    // What the "status" of a process not owned by the viewer said, kept while the process's
    // folder stays the same one (its inode and owner): the real uid rarely changes, and reading
    // "status" is the dearest read of a scan.
    struct OwnerNote {
        std::uint64_t inode = 0;
        std::uint32_t folderOwner = 0;
        bool exeReadable = false;
        bool viewers = false;
    };
    bool viewers(long pid, ProcFolder& folder, bool exeReadable, std::map<long, OwnerNote>& notes);

    // The script an interpreter's process was found to run, kept while the process's
    // executable and command line stay the same.
    struct ScriptNote {
        std::string exe;
        std::string cmdline;
        std::optional<std::string> path; // ProcessInfo::script
        std::optional<std::string> name; // its base name, when its "#!" line names exe
    };
    const ScriptNote& knownScript(long pid, const RawProcess& raw,
                                  InterpreterResolver& interpreters,
                                  std::map<long, ScriptNote>& notes);

    Clock& clock_;
    std::filesystem::path root_;
    std::uint32_t viewer_;
    std::mutex notesMutex_;
    std::map<long, OwnerNote> ownerNotes_;
    std::map<long, ScriptNote> scriptNotes_;
};

} // namespace kestrun
