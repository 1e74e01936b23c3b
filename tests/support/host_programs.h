#pragma once

// The programs of the machine the tests run on, which many tests' peers are: python3, openssl,
// bash, sh and our scripts. The Windows build's tests run under Wine there, so for them these
// are the Linux host's programs, reached through the drive Z:, and they need Unix paths. Wine
// gives no handle to wait on such a program, so each runs under a small shell that writes the
// program's exit code to a file, and ends it when the test lets go of it (or when the test's
// process, under Wine its Wine server, is gone).

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrun::test {

// A path as the host's programs see it: the path itself on POSIX; under Wine the Unix path of
// the Windows path.
std::string hostPath(const std::filesystem::path& path);
// A Unix path of the host as this process opens it: the path itself on POSIX; under Wine on
// the drive Z:.
std::filesystem::path fromHostPath(const std::string& unixPath);

// Where a host program's output goes: a file of this process (empty: out discarded, err to the
// test's own standard error).
struct HostOutput {
    std::filesystem::path out;
    std::filesystem::path err;
};

// A host program, found in /usr/bin and /bin (or given by its host path), with host paths among
// its arguments; its input is empty. It runs until it ends or the object is destroyed.
class HostProgram {
public:
    HostProgram(const std::string& program, const std::vector<std::string>& arguments,
                const HostOutput& output = {});
    ~HostProgram();
    HostProgram(const HostProgram&) = delete;
    HostProgram& operator=(const HostProgram&) = delete;

    bool started() const { return started_; }
    bool running() const;
    // Waits for its end: its exit code; -1 when it did not end within the limit (it is ended
    // then) or never started.
    int wait(std::chrono::milliseconds limit);

private:
    void stop();

    std::filesystem::path dir_; // the shell's status and control files
    long shell_ = 0;            // what the system needs to reap the shell
    bool started_ = false;
    bool stopped_ = false;
};

// Runs a host program to its end: its exit code, -1 when it did not end within the limit.
int runHostProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const HostOutput& output = {},
                   std::chrono::milliseconds limit = std::chrono::seconds(60));
// Runs one command line of the host's sh (paths in it as hostPath gives them).
int runHostShell(const std::string& command);

} // namespace kestrun::test
