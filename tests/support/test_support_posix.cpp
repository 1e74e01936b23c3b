#include "tests/support/host_programs.h"
#include "tests/support/test_support.h"
#include "tests/support/test_support_os.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace kestrun::test {

std::filesystem::path makeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrun-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void setVariable(const std::string& name, const std::optional<std::string>& value) {
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

// The tests run on the host itself.
std::string hostPath(const std::filesystem::path& path) {
    return path.string();
}

std::filesystem::path fromHostPath(const std::string& unixPath) {
    return unixPath;
}

bool startHostShell(const std::vector<std::string>& arguments, long& shell) {
    std::vector<std::string> all{"sh"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    shell = pid;
    return true;
}

// The shell ends right after it has written the status; one that does not is let go.
void reapHostShell(long shell) {
    waitUntil([shell] { return ::waitpid(static_cast<pid_t>(shell), nullptr, WNOHANG) != 0; },
              std::chrono::seconds(1));
}

long hostProcessId() {
    return ::getpid();
}

ScopedDescriptorLimit::ScopedDescriptorLimit(long headroom) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    saved_ = static_cast<long>(limit.rlim_cur);
    const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    limit.rlim_cur = std::min(limit.rlim_max, static_cast<rlim_t>(open + headroom));
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(saved_);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

bool runsUnderWine() {
    return false;
}

bool systemHasModeBits() {
    return true;
}

bool systemStopsWithSignals() {
    return true;
}

bool runsAsRoot() {
    return ::geteuid() == 0;
}

namespace {

bool runsFrom(long pid, const std::filesystem::path& executable) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return !ec && exe == executable;
}

} // namespace

std::optional<long> processRunningFrom(const std::filesystem::path& executable) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit) &&
            runsFrom(std::stol(name), executable))
            return std::stol(name);
    }
    return std::nullopt;
}

bool endProcessRunningFrom(const std::filesystem::path& executable) {
    const auto pid = processRunningFrom(executable);
    if (!pid || !runsFrom(*pid, executable) || ::kill(static_cast<pid_t>(*pid), SIGKILL) != 0)
        return false;
    // Gone once it runs no executable any more (a child of ours stays a zombie until reaped).
    waitUntil([&] { return !runsFrom(*pid, executable); });
    return true;
}

long peakMemoryKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool grantAccess(const std::filesystem::path& path, bool group, unsigned id, unsigned access) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    // The kernel's form on a little-endian machine: version 2, then (tag, permissions, id) in
    // the order of their tags: owner, user, owning group, group, mask, other.
    std::string bytes("\2\0\0\0", 4);
    const auto put = [&](std::uint16_t tag, unsigned permissions, std::uint32_t who) {
        const std::uint16_t bits = static_cast<std::uint16_t>(permissions & 7);
        bytes.append(reinterpret_cast<const char*>(&tag), 2);
        bytes.append(reinterpret_cast<const char*>(&bits), 2);
        bytes.append(reinterpret_cast<const char*>(&who), 4);
    };
    const unsigned owner = st.st_mode >> 6, owningGroup = st.st_mode >> 3, other = st.st_mode;
    put(0x01, owner, ~0u);
    put(group ? 0x04 : 0x02, group ? owningGroup : access, group ? ~0u : id);
    put(group ? 0x08 : 0x04, group ? access : owningGroup, group ? id : ~0u);
    put(0x10, owningGroup | access, ~0u);
    put(0x20, other, ~0u);
    return ::setxattr(path.c_str(), "system.posix_acl_access", bytes.data(), bytes.size(), 0) == 0;
}

} // namespace kestrun::test
