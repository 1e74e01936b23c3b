#pragma once

// Real processes for tests: children started and reaped by the test, and a guard that ends
// every process started from a test folder, however it was started.

#include "tests/support/test_support.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrun::test {

// How a child is started beyond its program and arguments.
struct SpawnOptions {
    std::optional<std::string> argv0; // what the child is told it is called (bash's "exec -a")
    std::filesystem::path cwd;        // its current directory; empty: the test's
    std::optional<std::string> path;  // its PATH; unset: the test's
};

// A child process of the test, killed and reaped when the object goes. It has executed its
// program when the constructor returns.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, std::vector<std::string> args,
                 const SpawnOptions& options = {}) {
        std::vector<std::string> argv{options.argv0.value_or(program.string())};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (auto& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (!options.path || std::string_view(*e).substr(0, 5) != "PATH=")
                env.emplace_back(*e);
        if (options.path)
            env.push_back("PATH=" + *options.path);
        std::vector<char*> rawEnv;
        for (auto& e : env)
            rawEnv.push_back(e.data());
        rawEnv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!options.cwd.empty())
            posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
        const int failed =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, raw.data(), rawEnv.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            throw std::runtime_error("posix_spawn failed: " + program.string());
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The wait status once the child has ended (it is reaped then), else nullopt.
    std::optional<int> tryWait() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_)
            return std::nullopt;
        pid_ = -1;
        return status;
    }
    // Waits for the end of the child and returns its wait status.
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    // Kills the child and waits for its end.
    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// Ends every process whose executable lies in the folder or whose command line names it.
class FolderReaper {
public:
    explicit FolderReaper(std::filesystem::path folder) : folder_(std::move(folder)) {}
    ~FolderReaper() { killAll(); }
    FolderReaper(const FolderReaper&) = delete;
    FolderReaper& operator=(const FolderReaper&) = delete;

    void killAll() const {
        namespace fs = std::filesystem;
        const std::string dir = folder_.string();
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc", ec)) {
            const std::string name = e.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const pid_t pid = std::stoi(name);
            if (pid == ::getpid())
                continue;
            std::error_code linkError;
            const std::string exe = fs::read_symlink(e.path() / "exe", linkError).string();
            std::ifstream in(e.path() / "cmdline", std::ios::binary);
            const std::string cmdline{std::istreambuf_iterator<char>(in), {}};
            if (exe.rfind(dir, 0) == 0 || cmdline.find(dir) != std::string::npos)
                ::kill(pid, SIGKILL);
        }
    }

private:
    std::filesystem::path folder_;
};

// Runs a program to its end and returns what it wrote to its standard output.
inline std::string outputOf(std::vector<std::string> argv) {
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t got = 0;
    while (failed == 0 && (got = ::read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(got));
    ::close(fds[0]);
    if (failed != 0)
        throw std::runtime_error("posix_spawn failed: " + argv[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

// The command that runs a program as another user: that uid and gid, no other groups.
inline std::vector<std::string> asUser(unsigned uid, std::vector<std::string> argv) {
    const std::string id = std::to_string(uid);
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    return argv;
}

// Copies an executable under a new name and makes it executable.
inline void copyExecutable(const std::filesystem::path& from, const std::filesystem::path& to) {
    namespace fs = std::filesystem;
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all, fs::perm_options::add);
}

// Writes a shell script and makes it executable.
inline void writeScript(const std::filesystem::path& file, const std::string& body) {
    namespace fs = std::filesystem;
    fs::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "#!/bin/sh\n" << body;
    }
    fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
}

// A name no other process on the machine carries: a prefix and the test folder's own suffix.
inline std::string uniqueName(const std::string& prefix, const std::filesystem::path& folder) {
    const std::string base = folder.filename().string();
    return prefix + "_" + base.substr(base.rfind('-') + 1);
}

} // namespace kestrun::test
