#include "platform/process_table.h"

#include "common/text.h"
#include "platform/posix/script_interpreter.h"
#include "platform/regular_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// The most of a command line read to name a process; the arguments that matter come first.
constexpr std::size_t kNameCmdlineLimit = 16 * 1024;
// The most of a Java command line read; longer ones are cut there.
constexpr std::size_t kJavaCmdlineLimit = 4 * 1024 * 1024;
// The most of a process's environment read to find its PATH.
constexpr std::size_t kEnvironLimit = 64 * 1024;
// The most of a script read to find its "#!" line.
constexpr std::size_t kShebangLimit = 256;
// Arguments after argv[0] that may name the script of an interpreter: the kernel puts it
// first, after the one optional argument of the "#!" line; a caller may put a few options
// before it ("python3 -W ignore job.py").
constexpr std::size_t kScriptArgumentSlots = 3;

class DirectoryHandle {
public:
    explicit DirectoryHandle(const fs::path& dir) : dir_(::opendir(dir.c_str())) {}
    ~DirectoryHandle() {
        if (dir_)
            ::closedir(dir_);
    }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

// Reads the rest of an open file, at most limit bytes.
std::optional<std::string> readOpen(const FileDescriptor& fd, std::size_t limit) {
    std::string out;
    char buffer[4096];
    while (out.size() < limit) {
        const std::size_t want = std::min(sizeof buffer, limit - out.size());
        const ssize_t got = ::read(fd.get(), buffer, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            break;
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Reads at most limit bytes of a file. With regularOnly, only a regular file is read; the
// caller has found a regular file there before (a FIFO or device that a process merely names is
// never opened: opening can have effects), and this checks again what was opened.
std::optional<std::string> readBytes(const fs::path& file, std::size_t limit,
                                     bool regularOnly = false) {
    FileDescriptor fd(::open(file.c_str(), kReadFlags));
    if (!fd)
        return std::nullopt;
    if (regularOnly) {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
    }
    return readOpen(fd, limit);
}

} // namespace

// What /proc/<pid> tells of one process; any part may be missing when the process ended
// during the scan.
struct RawProcess {
    std::string exe;     // readlink of exe, without the " (deleted)" of a replaced file
    std::string cmdline; // as read, the arguments each ended by a NUL
    std::vector<std::string> argv;
};

// The files of one process folder, named relative to the open process root: one lookup per
// file, no descriptor for the folder itself.
class ProcFolder {
public:
    ProcFolder(int rootFd, long pid)
        : rootFd_(rootFd), pidLength_(std::snprintf(buffer_, sizeof buffer_, "%ld", pid)) {}
    int root() const { return rootFd_; }
    // "<pid>"
    const char* self() {
        buffer_[pidLength_] = '\0';
        return buffer_;
    }
    // "<pid>/<name>"
    const char* file(const char* name) {
        std::snprintf(buffer_ + pidLength_, sizeof buffer_ - static_cast<std::size_t>(pidLength_),
                      "/%s", name);
        return buffer_;
    }

private:
    int rootFd_;
    char buffer_[64];
    int pidLength_;
};

namespace {

// Reads at most limit bytes of one file of a process folder.
std::optional<std::string> readProcFile(ProcFolder& folder, const char* name, std::size_t limit) {
    FileDescriptor fd(::openat(folder.root(), folder.file(name), kReadFlags));
    if (!fd)
        return std::nullopt;
    return readOpen(fd, limit);
}

// The command line of a process. A process in the middle of an exec shows its new executable a
// moment before its arguments: an empty command line is read again a few times, briefly.
std::optional<std::string> readCommandLine(ProcFolder& folder, std::size_t limit) {
    auto cmdline = readProcFile(folder, "cmdline", limit);
    for (int i = 0; i < 5 && cmdline && cmdline->empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        cmdline = readProcFile(folder, "cmdline", limit);
    }
    return cmdline;
}

std::vector<std::string> splitArguments(const std::string& cmdline) {
    std::vector<std::string> args;
    std::size_t begin = 0;
    while (begin < cmdline.size()) {
        auto end = cmdline.find('\0', begin);
        if (end == std::string::npos)
            end = cmdline.size();
        args.emplace_back(cmdline, begin, end - begin);
        begin = end + 1;
    }
    return args;
}

// The pids below the process folder, ascending.
std::vector<long> listPids(DIR* dir) {
    std::vector<long> pids;
    while (const dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (*name < '1' || *name > '9')
            continue;
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(name, &end, 10);
        if (*end == '\0' && errno == 0 && pid > 0)
            pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

enum class ExeLink { Read, Missing, Unreadable };

// The exe link of a process folder: Missing when the process has no executable (a kernel
// thread, a zombie, a process that has ended), Unreadable when it cannot be read.
ExeLink readExe(ProcFolder& folder, std::string& exe) {
    char buffer[PATH_MAX];
    const ssize_t got = ::readlinkat(folder.root(), folder.file("exe"), buffer, sizeof buffer);
    if (got < 0)
        return errno == ENOENT ? ExeLink::Missing : ExeLink::Unreadable;
    exe.assign(buffer, static_cast<std::size_t>(got));
    constexpr std::string_view kDeleted = " (deleted)";
    if (endsWith(exe, kDeleted))
        exe.resize(exe.size() - kDeleted.size());
    return ExeLink::Read;
}

// The PATH that a process started with (env looks its program up there); this program's own
// when that cannot be read.
std::string processSearchPath(const fs::path& dir) {
    if (const auto variables = readBytes(dir / "environ", kEnvironLimit)) {
        constexpr std::string_view kPath = "PATH=";
        for (const auto& variable : splitArguments(*variables))
            if (variable.compare(0, kPath.size(), kPath) == 0)
                return variable.substr(kPath.size());
    }
    const char* own = std::getenv("PATH");
    return own ? own : "";
}

// The first of the arguments after argv[0] that names an existing file, when that is a
// regular file: the script an interpreter runs. Leading options are passed over (the kernel
// puts the one optional argument of the "#!" line before the script), and so are words that
// name no file (an option's value).
std::optional<fs::path> firstFileArgument(const fs::path& dir, const RawProcess& p) {
    const std::size_t last = std::min(p.argv.size(), kScriptArgumentSlots + 1);
    for (std::size_t i = 1; i < last; ++i) {
        const std::string& arg = p.argv[i];
        if (arg.empty() || arg[0] == '-')
            continue;
        const fs::path file = arg[0] == '/' ? fs::path(arg) : dir / "cwd" / arg;
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0)
            continue;
        if (!S_ISREG(st.st_mode))
            return std::nullopt;
        return file;
    }
    return std::nullopt;
}

// The base name of the script that this process runs, when its "#!" line names the process's
// own executable.
std::optional<std::string> scriptName(const fs::path& dir, const fs::path& script,
                                      const RawProcess& p, InterpreterResolver& interpreters) {
    const auto head = readBytes(script, kShebangLimit, true);
    const auto interpreter = head ? shebangInterpreter(*head) : std::nullopt;
    if (!interpreter)
        return std::nullopt;
    const bool bare = interpreter->find('/') == std::string::npos;
    const auto real =
        interpreters.resolve(*interpreter, bare ? processSearchPath(dir) : std::string());
    // A bare name that no folder of the PATH holds is compared by name.
    const bool same = real ? *real == p.exe : bare && *interpreter == baseName(p.exe);
    if (!same)
        return std::nullopt;
    return std::string(baseName(script.string()));
}

// The full path of a script argument: one taken through the process's "cwd" link is named
// from the folder the link leads to (kept relative when the link cannot be read).
std::string fullScriptPath(const fs::path& dir, const fs::path& script) {
    const fs::path cwdLink = dir / "cwd";
    const std::string text = script.string();
    if (text.compare(0, cwdLink.string().size() + 1, cwdLink.string() + "/") != 0)
        return fs::path(text).lexically_normal().string();
    std::error_code ec;
    const fs::path cwd = fs::read_symlink(cwdLink, ec);
    const std::string relative = text.substr(cwdLink.string().size() + 1);
    return ec ? relative : (cwd / relative).lexically_normal().string();
}

bool isJava(std::string_view name) {
    const std::string lower = toLowerAscii(name);
    return lower == "java" || lower == "javaw";
}

// The real uid on the "Uid:" line of a process's status.
std::optional<std::uint32_t> realUid(const std::string& status) {
    constexpr std::string_view kUid = "\nUid:";
    const auto at = status.find(kUid);
    if (at == std::string::npos)
        return std::nullopt;
    const char* begin = status.c_str() + at + kUid.size();
    char* end = nullptr;
    errno = 0;
    const unsigned long uid = std::strtoul(begin, &end, 10);
    if (end == begin || errno != 0 || uid > 0xffffffffUL)
        return std::nullopt;
    return static_cast<std::uint32_t>(uid);
}

// The pids of the kernel's own threads: the children of kthreadd, pid 2, when pid 2 is a
// kernel thread (PF_KTHREAD in the flags of its stat; in a container pid 2 is an ordinary
// process). They have no executable: one read of kthreadd's list of children spares a lookup
// for each. Empty when that cannot be told.
std::vector<long> kernelThreads(int rootFd) {
    constexpr unsigned long kKernelThreadFlag = 0x00200000;
    ProcFolder kthreadd(rootFd, 2);
    const auto stat = readProcFile(kthreadd, "stat", 1024);
    const auto paren = stat ? stat->rfind(')') : std::string::npos;
    if (paren == std::string::npos)
        return {};
    // After the name: state, ppid, pgrp, session, tty_nr, tpgid, flags.
    std::istringstream fields(stat->substr(paren + 1));
    std::string field;
    for (int i = 0; i < 7 && fields >> field; ++i) {
    }
    char* end = nullptr;
    const unsigned long flags = std::strtoul(field.c_str(), &end, 10);
    if (!fields || *end != '\0' || (flags & kKernelThreadFlag) == 0)
        return {};
    const auto children = readProcFile(kthreadd, "task/2/children", 1 << 20);
    std::vector<long> pids;
    if (children) {
        std::istringstream list(*children);
        for (long pid = 0; list >> pid;)
            pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string joinArguments(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& arg : args) {
        if (!line.empty())
            line += ' ';
        line += arg;
    }
    return line;
}

} // namespace

bool isInterpreterName(std::string_view fileName) {
    return isInterpreterLike(fileName);
}

std::optional<std::vector<std::string>> ProcessTable::javaCommandLines() {
    const auto all = processes();
    if (!all)
        return std::nullopt;
    std::vector<std::string> lines;
    for (const auto& p : *all)
        if (p.javaCommandLine)
            lines.push_back(*p.javaCommandLine);
    return lines;
}

ProcProcessTable::ProcProcessTable(Clock& clock, fs::path procRoot)
    : clock_(clock), root_(std::move(procRoot)), viewer_(static_cast<std::uint32_t>(::getuid())) {}

// One pass over the process folders; each process's folder is opened once and each of its
// files read at most once. Only what decides a name is read: the exe link of every process,
// the command line only of interpreters, Java runtimes and processes whose link cannot be
// read, a script only of an interpreter.
std::optional<std::vector<ProcessInfo>> ProcProcessTable::processes() {
    DirectoryHandle dir(root_);
    if (!dir.get())
        return std::nullopt;
    const int rootFd = ::dirfd(dir.get());
    const std::vector<long> pids = listPids(dir.get());
    std::vector<ProcessInfo> out;
    out.reserve(pids.size());
    const std::vector<long> kernel = kernelThreads(rootFd);
    InterpreterResolver interpreters;
    std::lock_guard lock(notesMutex_);
    std::map<long, OwnerNote> notes; // this scan's, for the processes that still run
    std::map<long, ScriptNote> scripts;
    for (long pid : pids) {
        if (std::binary_search(kernel.begin(), kernel.end(), pid))
            continue;
        ProcFolder folder(rootFd, pid);
        RawProcess raw;
        const ExeLink link = readExe(folder, raw.exe);
        if (link == ExeLink::Missing)
            continue; // kernel threads, zombies and processes gone meanwhile
        if (viewer_ != 0 && !viewers(pid, folder, link == ExeLink::Read, notes))
            continue;
        const std::string_view exeBase = baseName(raw.exe);
        const bool known = link == ExeLink::Read;
        const bool interpreter = known && isInterpreterLike(exeBase);
        bool java = known && isJava(exeBase);
        if (!known || java || interpreter) {
            const auto limit = known && !java ? kNameCmdlineLimit : kJavaCmdlineLimit;
            if (auto cmdline = readCommandLine(folder, limit)) {
                raw.argv = splitArguments(*cmdline);
                raw.cmdline = std::move(*cmdline);
            }
        }
        // argv[0] is whatever the starter chose; it names a process only when the executable
        // link cannot be read (a process that made itself undumpable).
        std::string name;
        if (known) {
            name = exeBase;
        } else if (!raw.argv.empty()) {
            name = baseName(std::string_view(raw.argv[0]).substr(0, kNameCmdlineLimit));
            java = isJava(baseName(raw.argv[0]));
        }
        if (name.empty())
            continue;
        ProcessInfo info;
        info.pid = pid;
        info.names.push_back(std::move(name));
        if (interpreter) {
            const ScriptNote& note = knownScript(pid, raw, interpreters, scripts);
            if (note.name && *note.name != info.names.front())
                info.names.push_back(*note.name);
            info.script = note.path;
        }
        if (java && !raw.argv.empty())
            info.javaCommandLine = joinArguments(raw.argv);
        out.push_back(std::move(info));
    }
    ownerNotes_ = std::move(notes);
    scriptNotes_ = std::move(scripts);
    return out;
}

// The script of an interpreter's process. A process runs the script it was started with, so
// what was found for it holds while its executable and its arguments stay the same (an exec
// changes them); only a new process's script is opened.
const ProcProcessTable::ScriptNote&
ProcProcessTable::knownScript(long pid, const RawProcess& raw, InterpreterResolver& interpreters,
                              std::map<long, ScriptNote>& notes) {
    const auto known = scriptNotes_.find(pid);
    if (known != scriptNotes_.end() && known->second.exe == raw.exe &&
        known->second.cmdline == raw.cmdline)
        return notes[pid] = known->second;
    ScriptNote note{raw.exe, raw.cmdline, std::nullopt, std::nullopt};
    const fs::path dir = root_ / std::to_string(pid);
    if (!raw.exe.empty()) {
        if (const auto script = firstFileArgument(dir, raw)) {
            note.path = fullScriptPath(dir, *script);
            note.name = scriptName(dir, *script, raw, interpreters);
        }
    }
    return notes[pid] = std::move(note);
}

// Whether the process of an open /proc/<pid> folder has the viewer's real uid. The folder
// belongs to the process's effective uid; when that is the viewer and the exe link could be
// read (the kernel lets only the same real, effective and saved uid read it) it is the
// viewer's. Anything else is decided by the "Uid:" line of its status, noted for the next
// scans while the folder stays the same.
bool ProcProcessTable::viewers(long pid, ProcFolder& folder, bool exeReadable,
                               std::map<long, OwnerNote>& notes) {
    struct stat st {};
    if (::fstatat(folder.root(), folder.self(), &st, 0) != 0)
        return false;
    if (st.st_uid == viewer_ && exeReadable)
        return true;
    const auto known = ownerNotes_.find(pid);
    if (known != ownerNotes_.end() && known->second.inode == st.st_ino &&
        known->second.folderOwner == st.st_uid && known->second.exeReadable == exeReadable) {
        notes[pid] = known->second;
        return known->second.viewers;
    }
    const auto status = readProcFile(folder, "status", 8192);
    const auto uid = status ? realUid(*status) : std::nullopt;
    if (!uid)
        return false;
    const OwnerNote note{static_cast<std::uint64_t>(st.st_ino),
                         static_cast<std::uint32_t>(st.st_uid), exeReadable, *uid == viewer_};
    notes[pid] = note;
    return note.viewers;
}

bool ProcProcessTable::closeFirst(std::string_view executableName) {
    const auto table = processes();
    if (!table)
        return false;
    const std::string wanted = toLowerAscii(executableName);
    const long self = static_cast<long>(::getpid());
    for (const auto& p : *table) {
        if (p.pid == self || std::none_of(p.names.begin(), p.names.end(),
                                          [&](const auto& n) { return toLowerAscii(n) == wanted; }))
            continue;
        const auto pid = static_cast<pid_t>(p.pid);
        if (::kill(pid, SIGTERM) != 0)
            return false;
        // A process that has ended but was not yet reaped by its parent no longer lives.
        const auto alive = [&] {
            if (::kill(pid, 0) != 0)
                return false;
            const auto stat = readBytes(root_ / std::to_string(p.pid) / "stat", 1024);
            if (!stat)
                return false;
            const auto paren = stat->rfind(')');
            return !(paren != std::string::npos && paren + 2 < stat->size() &&
                     ((*stat)[paren + 2] == 'Z' || (*stat)[paren + 2] == 'X'));
        };
        const std::uint64_t deadline = clock_.monotonicMs() + 1000;
        while (alive()) {
            if (clock_.monotonicMs() >= deadline) {
                ::kill(pid, SIGKILL);
                // The kernel ends a killed process at once; the caller may rely on it being
                // gone (its executable is replaced next), so wait for that, briefly.
                for (int i = 0; i < 250 && alive(); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                break;
            }
            clock_.sleepFor(std::chrono::milliseconds(20));
        }
        return true;
    }
    return false;
}

} // namespace kestrun
