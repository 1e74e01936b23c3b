#include "platform/process_table.h"

#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
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
// The most of a script read to find its "#!" line.
constexpr std::size_t kShebangLimit = 256;
// Arguments after argv[0] that may name the script of an interpreter: the kernel puts it
// first, after the one optional argument of the "#!" line ("env -S" adds one more).
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

// The base name of the script that this process runs through its "#!" line: the first of
// the leading arguments that names an existing file decides; it counts when the file starts
// with "#!" naming this process's interpreter (or "env", which started it).
std::optional<std::string> scriptName(const fs::path& dir, const RawProcess& p,
                                      std::string_view exeBase, std::string_view argv0Base) {
    const std::size_t last = std::min(p.argv.size(), kScriptArgumentSlots + 1);
    for (std::size_t i = 1; i < last; ++i) {
        const std::string& arg = p.argv[i];
        if (arg.empty() || arg[0] == '-')
            continue;
        const fs::path file = arg[0] == '/' ? fs::path(arg) : dir / "cwd" / arg;
        const auto head = readBytes(file, kShebangLimit, true);
        if (!head)
            continue;
        if (head->size() < 2 || head->compare(0, 2, "#!") != 0)
            return std::nullopt;
        std::size_t b = 2;
        while (b < head->size() && ((*head)[b] == ' ' || (*head)[b] == '\t'))
            ++b;
        std::size_t e = b;
        while (e < head->size() && (*head)[e] != ' ' && (*head)[e] != '\t' && (*head)[e] != '\n' &&
               (*head)[e] != '\r')
            ++e;
        const std::string_view interpreter = baseName(std::string_view(*head).substr(b, e - b));
        if (interpreter.empty())
            return std::nullopt;
        if (interpreter == "env" || interpreter == exeBase || interpreter == argv0Base)
            return std::string(baseName(arg));
        return std::nullopt;
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
    for (long pid : *pids) {
        const fs::path dir = root_ / std::to_string(pid);
        const RawProcess raw = readProcess(dir, kNameCmdlineLimit);
        const std::string_view exeBase = baseName(raw.exe);
        const std::string_view argv0Base =
            raw.argv.empty() ? std::string_view() : baseName(raw.argv[0]);
        ProcessInfo info;
        info.pid = pid;
        if (!exeBase.empty())
            info.names.emplace_back(exeBase);
        if (!argv0Base.empty() && argv0Base != exeBase)
            info.names.emplace_back(argv0Base);
        if (info.names.empty())
            continue; // kernel threads, zombies and processes gone meanwhile
        if (auto script = scriptName(dir, raw, exeBase, argv0Base))
            if (std::find(info.names.begin(), info.names.end(), *script) == info.names.end())
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
