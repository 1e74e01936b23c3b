#include "tests/support/host_programs.h"

#include "tests/support/test_support.h"
#include "tests/support/test_support_os.h"

#include <fstream>

namespace kestrun::test {

namespace fs = std::filesystem;

namespace {

// sh -c <this> sh STATUS CONTROL OWNER OUT ERR PROGRAM ARGUMENTS...: runs the program, ends it
// when CONTROL is removed or OWNER is gone, and writes its exit code to STATUS at its end.
constexpr const char* kShell = R"sh(status=$1 control=$2 owner=$3 out=$4 err=$5
shift 5
PATH=/usr/bin:/bin
export PATH
[ "$err" = - ] || exec 2>"$err"
"$@" </dev/null >"$out" &
pid=$!
{ while kill -0 "$owner" && [ -e "$control" ]; do sleep 0.05; done; kill -9 $pid; } \
    </dev/null >/dev/null 2>&1 &
watch=$!
wait $pid 2>/dev/null
code=$?
kill $watch 2>/dev/null
echo $code >"$status.tmp" && mv "$status.tmp" "$status"
)sh";

bool ended(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / "status", ec);
}

} // namespace

HostProgram::HostProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const HostOutput& output)
    : dir_(makeTempDir()) {
    writeFile(dir_ / "control", "");
    std::vector<std::string> shell{"-c",
                                   kShell,
                                   "sh",
                                   hostPath(dir_ / "status"),
                                   hostPath(dir_ / "control"),
                                   std::to_string(hostProcessId()),
                                   output.out.empty() ? "/dev/null" : hostPath(output.out),
                                   output.err.empty() ? "-" : hostPath(output.err),
                                   program};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    started_ = startHostShell(shell, shell_);
}

HostProgram::~HostProgram() {
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

bool HostProgram::running() const {
    return started_ && !ended(dir_);
}

int HostProgram::wait(std::chrono::milliseconds limit) {
    if (!started_)
        return -1;
    if (!waitUntil([&] { return ended(dir_); }, limit)) {
        stop();
        return -1;
    }
    stop();
    int code = -1;
    std::ifstream(dir_ / "status") >> code;
    return code;
}

void HostProgram::stop() {
    if (!started_ || stopped_)
        return;
    std::error_code ec;
    fs::remove(dir_ / "control", ec);
    waitUntil([&] { return ended(dir_); }, std::chrono::seconds(5));
    reapHostShell(shell_);
    stopped_ = true;
}

int runHostProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const HostOutput& output, std::chrono::milliseconds limit) {
    return HostProgram(program, arguments, output).wait(limit);
}

int runHostShell(const std::string& command) {
    return runHostProgram("sh", {"-c", command});
}

} // namespace kestrun::test
