// The whole program check of an idle Kestrun with 40 entries, as the main window runs it (its
// event log and status lines included), beside `ps -e` listing the same process table.
//
// Each run times one check and then one `ps -e` (spawned, its output read to the end, waited
// for), both by wall clock and by CPU time (the check's thread; ps through the children's
// usage). Usage: supervisor_bench [runs], at least 5 (default 15).

#include "bench/table_row.h"
#include "kestrun/core/kestrun_dlg.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrun {
namespace {

namespace fs = std::filesystem;

// Counts the starts instead of starting anything: an idle check starts nothing.
class CountingLauncher final : public ProgramLauncher {
public:
    StartResult start(const std::string&, const std::string&, const fs::path&, bool) override {
        ++starts;
        return std::int64_t{1} << 30; // no process has this pid
    }
    long starts = 0;
};

// A folder of its own below the temporary folder, removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "kestrun-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Programs that run for the length of the benchmark: copies of sleep under names of their own,
// killed and reaped at the end.
class RunningPrograms {
public:
    RunningPrograms(const fs::path& folder, int count) {
        fs::create_directories(folder);
        for (int i = 0; i < count; ++i) {
            const fs::path program = folder / ("program" + std::to_string(i));
            fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing);
            fs::permissions(program, fs::perms::owner_all, fs::perm_options::add);
            std::string path = program.string();
            char hour[] = "3600";
            char* argv[] = {path.data(), hour, nullptr};
            pid_t pid = -1;
            if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
                throw std::runtime_error("could not start " + path);
            pids_.push_back(pid);
            paths_.push_back(path);
        }
    }
    ~RunningPrograms() {
        for (const pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    RunningPrograms(const RunningPrograms&) = delete;
    RunningPrograms& operator=(const RunningPrograms&) = delete;
    const std::vector<std::string>& paths() const { return paths_; }

private:
    std::vector<pid_t> pids_;
    std::vector<std::string> paths_;
};

// 40 entries: "always" entries for the 20 running programs, the rest daily, periodic and
// ".jar" entries that run nowhere and are not due.
ProgramList benchmarkList(const RunningPrograms& running) {
    ProgramList list;
    for (const auto& path : running.paths()) {
        ProgramEntry e;
        e.text = path + "?n";
        list.push_back(e);
    }
    for (int i = 0; list.size() < 40; ++i) {
        ProgramEntry e;
        e.weekdays = 127;
        switch (i % 3) {
        case 0:
            e.text = "/opt/apps/daily" + std::to_string(i) + "?m-q";
            e.mode = ProgramMode::Daily;
            e.dailyTime = 23 * 3600 + 59 * 60 + 59; // never on a whole minute
            break;
        case 1:
            e.text = "/opt/apps/periodic" + std::to_string(i) + "?n";
            e.mode = ProgramMode::Periodic;
            e.period = 4294967295u;
            break;
        default:
            e.text = "/opt/apps/server" + std::to_string(i) + ".jar?n";
            e.mode = ProgramMode::Daily;
            e.dailyTime = 23 * 3600 + 59 * 60 + 59;
            break;
        }
        list.push_back(e);
    }
    return list;
}

double threadCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double childrenCpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    const auto ms = [](const timeval& v) {
        return static_cast<double>(v.tv_sec) * 1e3 + static_cast<double>(v.tv_usec) / 1e3;
    };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

double wallMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct Sample {
    double wall = 0;
    double cpu = 0;
};

// One `ps -e`, its listing read through a pipe to the end.
Sample runPs() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    char ps[] = "ps";
    char e[] = "-e";
    char* argv[] = {ps, e, nullptr};
    const double cpu0 = childrenCpuMs();
    const double wall0 = wallMs();
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, "ps", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (failed != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("ps could not be started");
    }
    char buffer[4096];
    while (::read(pipeFds[0], buffer, sizeof buffer) > 0) {
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {wallMs() - wall0, childrenCpuMs() - cpu0};
}

Sample runCheck(CKestrunDlg& window) {
    const double cpu0 = threadCpuMs();
    const double wall0 = wallMs();
    window.handleMessage(KsnMessage::ProgramCheck);
    return {wallMs() - wall0, threadCpuMs() - cpu0};
}

long rssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int run(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 15;
    ScratchFolder scratch;
    const fs::path work = scratch.path() / "work";
    fs::create_directories(work);

    SystemClock clock;
    IniSettingsStore store(scratch.path() / "Kestrun.conf");
    AutostartEntry autostart(scratch.path() / "autostart" / "kestrun.desktop");
    ProcProcessTable processes(clock);
    CountingLauncher launcher;
    const RunningPrograms running(scratch.path() / "bin", 20);
    const ProgramList list = benchmarkList(running);
    if (!saveProgramList(list, work))
        throw std::runtime_error("progs.lst could not be written");
    CKestrunDlg window({clock, store, autostart, processes, launcher, work, false});
    window.initialize();
    window.hideTimer().stop();

    runCheck(window); // warms the caches both sides rely on
    runPs();
    std::vector<double> checkWall, checkCpu, psWall, psCpu;
    for (int i = 0; i < runs; ++i) {
        const Sample check = runCheck(window);
        const Sample ps = runPs();
        checkWall.push_back(check.wall);
        checkCpu.push_back(check.cpu);
        psWall.push_back(ps.wall);
        psCpu.push_back(ps.cpu);
    }

    const auto table = processes.processes();
    std::fprintf(stderr,
                 "supervisor_bench: %d runs, %zu entries, %zu processes seen, %ld starts, "
                 "RSS %ld kB\n",
                 runs, window.programs().size(), table ? table->size() : std::size_t{0},
                 launcher.starts, rssKb());
    std::fprintf(stderr, "  \"Last check\" line: %s\n",
                 window.statusLine(1002).toStdString().c_str());
    bench::printRow("one program check of 40 entries, CPU", "check", checkCpu, "ps -e", psCpu,
                    "ms");
    bench::printRow("one program check of 40 entries, wall", "check", checkWall, "ps -e", psWall,
                    "ms");
    return 0;
}

} // namespace
} // namespace kestrun

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    try {
        return kestrun::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "supervisor_bench: %s\n", e.what());
        return 1;
    }
}
