#include "platform/process_table.h"

#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
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

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

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

// Reads at most limit bytes of a file. Only regular files and the kernel's pseudo files are
// read: a FIFO or device named by a process argument is never opened for reading.
std::optional<std::string> readBytes(const fs::path& file, std::size_t limit,
                                     bool regularOnly = false) {
    // Never open a device or a pipe that a process merely names: opening can have effects.
    struct stat before {};
    if (regularOnly && (::stat(file.c_str(), &before) != 0 || !S_ISREG(before.st_mode)))
        return std::nullopt;
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        return std::nullopt;
    if (regularOnly) {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
    }
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

std::optional<std::string> readLink(const fs::path& link) {
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    if (ec)
        return std::nullopt;
    return target.string();
}

std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
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

std::optional<std::vector<long>> listPids(const fs::path& root) {
    DirectoryHandle dir(root);
    if (!dir.get())
        return std::nullopt;
    std::vector<long> pids;
    while (const dirent* e = ::readdir(dir.get())) {
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

// What /proc/<pid> tells of one process; any part may be missing when the process ended
// during the scan or belongs to someone else.
struct RawProcess {
    std::string exe; // readlink of exe, without the " (deleted)" of a replaced file
    std::vector<std::string> argv;
};

RawProcess readProcess(const fs::path& dir, std::size_t cmdlineLimit) {
    RawProcess p;
    if (auto exe = readLink(dir / "exe")) {
        constexpr std::string_view kDeleted = " (deleted)";
        if (endsWith(*exe, kDeleted))
            exe->resize(exe->size() - kDeleted.size());
        p.exe = std::move(*exe);
    }
    if (auto cmdline = readBytes(dir / "cmdline", cmdlineLimit))
        p.argv = splitArguments(*cmdline);
    return p;
}

// Version digits that follow an interpreter's name: "python3.11", "perl5.36.0", "tclsh8.6".
std::string_view withoutVersion(std::string_view name) {
    while (!name.empty() && (std::isdigit(static_cast<unsigned char>(name.back())) ||
                             name.back() == '.' || name.back() == '-'))
        name.remove_suffix(1);
    return name;
}

// Executables that run scripts: only their processes have their arguments looked at, so a
// scan never opens the files that other programs (viewers, editors, "tail -f") name.
bool isInterpreterLike(std::string_view exeBase) {
    static constexpr std::string_view kInterpreters[] = {
        "sh",     "ash",  "bash", "dash",    "ksh",     "mksh",   "pdksh", "yash", "zsh",    "fish",
        "csh",    "tcsh", "posh", "busybox", "python",  "pypy",   "perl",  "ruby", "jruby",  "node",
        "nodejs", "deno", "bun",  "php",     "lua",     "luajit", "tclsh", "wish", "expect", "awk",
        "gawk",   "mawk", "nawk", "guile",   "rscript", "pwsh",   "julia"};
    const std::string name = toLowerAscii(withoutVersion(exeBase));
    return std::find(std::begin(kInterpreters), std::end(kInterpreters), name) !=
           std::end(kInterpreters);
}

// The interpreter a script's first line names: the path after "#!", or for "#!/usr/bin/env"
// the program that env runs (its first word that is neither an option nor a variable).
std::optional<std::string> shebangInterpreter(std::string_view head) {
    if (head.size() < 2 || head.substr(0, 2) != "#!")
        return std::nullopt;
    head.remove_prefix(2);
    head = head.substr(0, head.find('\n'));
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < head.size()) {
        while (i < head.size() && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r'))
            ++i;
        std::size_t e = i;
        while (e < head.size() && head[e] != ' ' && head[e] != '\t' && head[e] != '\r')
            ++e;
        if (e > i)
            words.push_back(head.substr(i, e - i));
        i = e;
    }
    if (words.empty())
        return std::nullopt;
    if (baseName(words[0]) != "env")
        return std::string(words[0]);
    for (std::size_t w = 1; w < words.size(); ++w)
        if (words[w][0] != '-' && words[w].find('=') == std::string_view::npos)
            return std::string(words[w]);
    return std::nullopt;
}

// The real executables of the interpreters that scripts name, each resolved once per scan:
// a path through its links (/bin/sh is dash, /usr/bin/python3 is python3.11), a bare name (of
// "#!/usr/bin/env NAME") as env finds it on the PATH it was given.
class InterpreterResolver {
public:
    std::optional<std::string> resolve(const std::string& interpreter,
                                       std::string_view searchPath) {
        std::string key = interpreter;
        if (interpreter.find('/') == std::string::npos)
            key.append(1, '\0').append(searchPath);
        const auto known = cache_.find(key);
        if (known != cache_.end())
            return known->second;
        return cache_[key] = lookUp(interpreter, searchPath);
    }

private:
    static std::optional<std::string> realPath(const fs::path& file) {
        std::error_code ec;
        const fs::path real = fs::canonical(file, ec);
        if (ec || !fs::is_regular_file(real, ec))
            return std::nullopt;
        return real.string();
    }
    static std::optional<std::string> lookUp(const std::string& interpreter,
                                             std::string_view rest) {
        if (interpreter.find('/') != std::string::npos)
            return realPath(interpreter);
        while (!rest.empty()) {
            const auto colon = rest.find(':');
            const std::string_view dir = rest.substr(0, colon);
            const fs::path candidate = fs::path(dir) / interpreter;
            if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
                if (auto real = realPath(candidate))
                    return real;
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
        return std::nullopt;
    }

    std::map<std::string, std::optional<std::string>> cache_;
};

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

// The base name of the script that this process runs: its executable is an interpreter, and
// its first argument that names an existing file is a regular file whose "#!" line names that
// same interpreter. Leading options are passed over (the kernel puts the one optional argument
// of the "#!" line before the script).
std::optional<std::string> scriptName(const fs::path& dir, const RawProcess& p,
                                      InterpreterResolver& interpreters) {
    if (p.exe.empty() || !isInterpreterLike(baseName(p.exe)))
        return std::nullopt;
    const std::size_t last = std::min(p.argv.size(), kScriptArgumentSlots + 1);
    for (std::size_t i = 1; i < last; ++i) {
        const std::string& arg = p.argv[i];
        if (arg.empty() || arg[0] == '-')
            continue;
        const fs::path file = arg[0] == '/' ? fs::path(arg) : dir / "cwd" / arg;
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0)
            continue; // a word that names no file: an option's value
        if (!S_ISREG(st.st_mode))
            return std::nullopt;
        const auto head = readBytes(file, kShebangLimit, true);
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
        return std::string(baseName(arg));
    }
    return std::nullopt;
}

bool isJava(std::string_view name) {
    const std::string lower = toLowerAscii(name);
    return lower == "java" || lower == "javaw";
}

} // namespace

ProcProcessTable::ProcProcessTable(Clock& clock, fs::path procRoot)
    : clock_(clock), root_(std::move(procRoot)) {}

std::optional<std::vector<ProcessInfo>> ProcProcessTable::processes() {
    const auto pids = listPids(root_);
    if (!pids)
        return std::nullopt;
    std::vector<ProcessInfo> out;
    out.reserve(pids->size());
    InterpreterResolver interpreters;
    for (long pid : *pids) {
        const fs::path dir = root_ / std::to_string(pid);
        const RawProcess raw = readProcess(dir, kNameCmdlineLimit);
        // argv[0] is whatever the starter chose; it names a process only when the executable
        // link cannot be read (another user's process).
        const std::string_view name =
            !raw.exe.empty() ? baseName(raw.exe)
                             : (raw.argv.empty() ? std::string_view() : baseName(raw.argv[0]));
        if (name.empty())
            continue; // kernel threads, zombies and processes gone meanwhile
        ProcessInfo info;
        info.pid = pid;
        info.names.emplace_back(name);
        if (auto script = scriptName(dir, raw, interpreters))
            if (*script != info.names.front())
                info.names.push_back(std::move(*script));
        out.push_back(std::move(info));
    }
    return out;
}

std::optional<std::vector<std::string>> ProcProcessTable::javaCommandLines() {
    const auto pids = listPids(root_);
    if (!pids)
        return std::nullopt;
    std::vector<std::string> out;
    for (long pid : *pids) {
        const fs::path dir = root_ / std::to_string(pid);
        const auto exe = readLink(dir / "exe");
        if (exe) {
            std::string_view path = *exe;
            if (endsWith(path, " (deleted)"))
                path.remove_suffix(10);
            if (!isJava(baseName(path)))
                continue;
        }
        const auto cmdline = readBytes(dir / "cmdline", kJavaCmdlineLimit);
        if (!cmdline || cmdline->empty())
            continue;
        const auto args = splitArguments(*cmdline);
        if (!exe && !isJava(baseName(args[0])))
            continue;
        std::string line;
        for (const auto& arg : args) {
            if (!line.empty())
                line += ' ';
            line += arg;
        }
        out.push_back(std::move(line));
    }
    return out;
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
