#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrun::test {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable and restores it when destroyed.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Makes the current directory a folder for the life of the object.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::filesystem::path& dir);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::filesystem::path old_;
};

std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, const std::string& content);
// The lines of a text file without their CR LF / LF ends.
std::vector<std::string> readLines(const std::filesystem::path& file);

// Polls the condition every 10 ms until it holds or the time is up (for real processes and
// files to come and go, never for a schedule).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// Few descriptors left to the process while the object lives, as a busy process would have left:
// the soft limit of open descriptors lowered to those open now plus the headroom. Windows
// limits neither its handles nor its sockets so: there it changes nothing.
class ScopedDescriptorLimit {
public:
    explicit ScopedDescriptorLimit(long headroom);
    ~ScopedDescriptorLimit();
    ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
    ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;

private:
    long saved_ = -1; // the soft limit before (POSIX)
};

// Whether the tests run under Wine, whose Windows leaves some of Windows' own checks out.
bool runsUnderWine();

// Whether files carry mode bits of the system's own for tests to judge: POSIX files do; Windows
// has none (its C runtime makes them up from the read-only attribute and the file's name).
bool systemHasModeBits();

// Whether a service manager stops a process with a signal it may handle (POSIX: SIGTERM,
// which QProcess::terminate sends too); Windows stops a service through its control handler.
bool systemStopsWithSignals();

// Whether this process runs as POSIX's root, who may act on any file (Windows has none such:
// an administrator's rights are weighed by access lists like anyone's).
bool runsAsRoot();

// Whether this process may make symbolic links (POSIX: always; Windows: only with the right to,
// which Wine does not give).
bool systemMakesLinks();

// The id of a running process whose executable is the file, if any; and the end of such a
// process (one the test's programs started), at once, by the id found, its executable checked
// once more right before: true when one was ended.
std::optional<long> processRunningFrom(const std::filesystem::path& executable);
bool endProcessRunningFrom(const std::filesystem::path& executable);

// The peak of the memory this process has held so far, in KiB (POSIX: its peak resident set;
// Windows: its peak working set).
long peakMemoryKilobytes();

// POSIX: gives one user (or group) the access bits (4 read, 2 write) on a file or folder
// through its access list, whose mask lets them through; the mode's other entries stay.
bool grantAccess(const std::filesystem::path& path, bool group, unsigned id, unsigned access);

// The folder of the built executables (kestrun, kbm), and the source tree, as this process
// opens them (the build writes their host paths).
std::filesystem::path binDir();
std::filesystem::path sourceDir();
// A built executable of that name in binDir(), with the system's suffix (kbm.exe on Windows).
std::filesystem::path builtProgram(const std::string& name);

} // namespace kestrun::test
