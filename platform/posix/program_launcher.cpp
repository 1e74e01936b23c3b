#include "platform/program_launcher.h"

#include "common/text.h"
#include "platform/program_paths.h"

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrun {

namespace fs = std::filesystem;

namespace {

fs::path absoluteOf(const fs::path& path) {
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    return ec ? path : full;
}

// What a failed stat of the file to start says.
std::string missingFile(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return "file not found";
    case EACCES:
        return "permission denied";
    default:
        return std::strerror(error);
    }
}

// The spawn attributes of a started program: a session of its own, no signal blocked, every
// catchable signal at its default (whatever this program ignores or handles).
class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                   POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Starts the program (a bare name is looked up on PATH) with its arguments in the folder.
StartResult spawn(const std::string& program, const std::vector<std::string>& arguments,
                  const fs::path& folder) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> raw;
    for (auto& word : argv)
        raw.push_back(word.data());
    raw.push_back(nullptr);
    SpawnActions actions;
    if (!folder.empty() && posix_spawn_file_actions_addchdir_np(actions.get(), folder.c_str()) != 0)
        return {std::nullopt, "cannot change to the working folder"};
    const SpawnAttributes attributes;
    pid_t pid = 0;
    const bool bare = program.find('/') == std::string::npos;
    const int failed = bare ? posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(),
                                           raw.data(), environ)
                            : posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(),
                                          raw.data(), environ);
    if (failed != 0)
        return {std::nullopt,
                (bare ? program + " could not be run: " : std::string("exec failed: ")) +
                    std::strerror(failed)};
    return static_cast<std::int64_t>(pid);
}

std::string encoded(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

} // namespace

DetachedProgramLauncher::DetachedProgramLauncher()
    : DetachedProgramLauncher(currentExecutableDir()) {}

DetachedProgramLauncher::DetachedProgramLauncher(fs::path besideFolder)
    : besideFolder_(std::move(besideFolder)) {}

StartResult DetachedProgramLauncher::start(const std::string& path, const std::string& parameters,
                                           const fs::path& workingFolder, bool /*minimised*/) {
    collectEnded();
    if (path.empty())
        return {std::nullopt, "empty path"};
    // A NUL byte would cut the path or a word short: some other file would start.
    if (path.find('\0') != std::string::npos || parameters.find('\0') != std::string::npos)
        return {std::nullopt, "a NUL byte in the path or the parameters"};
    std::vector<std::string> words;
    for (const QString& word : QProcess::splitCommand(QFile::decodeName(parameters.c_str())))
        words.push_back(encoded(word));
    const bool jar = endsWith(toLowerAscii(path), ".jar");

    // A path with a folder is made absolute against the current directory (the started program
    // changes to its working folder before the path is resolved); a bare name is looked up.
    fs::path target;
    fs::path folder = workingFolder;
    if (path.find('/') == std::string::npos) {
        const auto found = locateFile(path, workingFolder, besideFolder_, !jar);
        if (!found)
            return {std::nullopt, "not found in the working folder, beside Kestrun or on PATH"};
        target = absoluteOf(*found);
        folder = target.parent_path();
    } else {
        target = absoluteOf(path);
    }
    std::error_code ec;
    if (!folder.empty() && !fs::is_directory(folder, ec))
        return {std::nullopt, "working folder not found: " + folder.string()};

    std::string program;
    std::vector<std::string> arguments;
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0)
        return {std::nullopt, missingFile(errno)};
    if (jar) {
        // Java would start and fail on a missing file: that is a failed start.
        if (!S_ISREG(st.st_mode))
            return {std::nullopt, "not a regular file"};
        program = "java";
        arguments = {"-jar", target.string()};
        arguments.insert(arguments.end(), words.begin(), words.end());
    } else if (S_ISREG(st.st_mode) && ::access(target.c_str(), X_OK) == 0) {
        program = target.string();
        arguments = std::move(words);
    } else {
        program = "xdg-open";
        arguments = {target.string()};
    }

    StartResult result = spawn(program, arguments, folder);
    if (result.pid) {
        std::lock_guard lock(mutex_);
        children_[*result.pid] = std::nullopt;
    } else if (program == "xdg-open") {
        result.reason = "not executable, and " + result.reason;
    }
    return result;
}

// Only the children this launcher started are waited for: the other children of the program
// (Qt's own) are never touched.
void DetachedProgramLauncher::collectLocked() {
    std::size_t ended = 0;
    for (auto it = children_.begin(); it != children_.end();) {
        if (!it->second) {
            int status = 0;
            const pid_t got = ::waitpid(static_cast<pid_t>(it->first), &status, WNOHANG);
            if (got < 0 && errno == ECHILD) {
                it = children_.erase(it); // collected by someone else: nothing to tell
                continue;
            }
            if (got == static_cast<pid_t>(it->first))
                it->second = WIFSIGNALED(status) ? ProgramExit{true, WTERMSIG(status)}
                                                 : ProgramExit{false, WEXITSTATUS(status)};
        }
        ended += it->second ? 1 : 0;
        ++it;
    }
    // Statuses that nobody asks for (the backup program's) are not kept for ever.
    for (auto it = children_.begin(); ended > kKeptExits && it != children_.end();)
        if (it->second) {
            it = children_.erase(it);
            --ended;
        } else {
            ++it;
        }
}

void DetachedProgramLauncher::collectEnded() {
    std::lock_guard lock(mutex_);
    collectLocked();
}

bool DetachedProgramLauncher::hasEnded(std::int64_t pid) {
    std::lock_guard lock(mutex_);
    collectLocked();
    const auto child = children_.find(pid);
    return child != children_.end() && child->second.has_value();
}

std::optional<ProgramExit> DetachedProgramLauncher::exitOf(std::int64_t pid) {
    std::lock_guard lock(mutex_);
    collectLocked();
    auto child = children_.find(pid);
    // A process that has just left the process table may not have ended quite yet: it is given
    // a few milliseconds.
    for (int i = 0; i < 20 && child != children_.end() && !child->second; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        collectLocked();
        child = children_.find(pid);
    }
    if (child == children_.end() || !child->second)
        return std::nullopt;
    const ProgramExit exit = *child->second;
    children_.erase(child);
    return exit;
}

} // namespace kestrun
