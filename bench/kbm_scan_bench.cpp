// The backup scan timed as whole processes: the built kbm (start, start timer, own-folder
// checks, log lines, the run) over a tree of files that did not change since the previous run,
// beside `rsync -an` comparing the tree with an up-to-date mirror; and kbm's first run over the
// tree (every marker made; an entry of a mode that queues nothing, so no copy waits its pause)
// beside `cp -a --attributes-only` of the tree. Each pair alternates, run after run; the table
// gives min / median of each side and of the ratio, then kbm's peak RSS (ru_maxrss).
//
//   kbm_scan_bench [--files N] [--runs N] [--unchanged-only] [--in-process] [--dir FOLDER]
//                  [--kbm PROGRAM]
//
// --kbm times another build of kbm (an older one, say) instead of the one beside the bench.
// --in-process adds the scan phase alone, in this process: unchanged, and a first run with
// pending markers (what a real first run writes).
#include "bench/table_row.h"
#include "common/backup_list.h"
#include "kbm/backup_log.h"
#include "kbm/marker.h"
#include "kbm/paths.h"
#include "kbm/run_progress.h"
#include "kbm/scan_phase.h"
#include "platform/clock.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFilesPerFolder = 100;
constexpr int kFoldersPerGroup = 100;

struct Outcome {
    double seconds = 0;
    int exitCode = -1;
    long maxRssKb = 0;
};

// Runs a program to its end in a folder, with extra environment and stdout to /dev/null.
Outcome runProcess(const std::vector<std::string>& argv, const fs::path& folder,
                   const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto name = entry.substr(0, entry.find('='));
        bool replaced = name == "DISPLAY" || name == "WAYLAND_DISPLAY";
        for (const std::string& extra : extraEnv)
            replaced = replaced || extra.substr(0, extra.find('=')) == name;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0)
            _exit(127);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    Outcome out;
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        throw std::runtime_error("cannot run " + argv[0]);
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    out.maxRssKb = usage.ru_maxrss;
    return out;
}

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

struct Bench {
    Bench(long fileCount, const fs::path& base, fs::path kbmProgram)
        : files(fileCount), program(std::move(kbmProgram)) {
        std::string pattern = (base / "kbm-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        root = pattern;
        src = root / "src";
        std::fprintf(stderr, "building %ld files below %s\n", files, src.c_str());
        for (long f = 0; f < files; ++f) {
            const long d = f / kFilesPerFolder;
            const fs::path folder = src / ("folder" + std::to_string(d / kFoldersPerGroup)) /
                                    ("sub" + std::to_string(d));
            if (f % kFilesPerFolder == 0)
                fs::create_directories(folder);
            std::ofstream(folder / ("file" + std::to_string(f % kFilesPerFolder) + ".dat")) << f;
        }
        // An up-to-date mirror for rsync (hard links: same size and time, nothing to do).
        shell("cp -al '" + src.string() + "' '" + (root / "mirror").string() + "'");
        // Settings: a folder destination; nothing is ever queued, so no copy waits its pause.
        writeText(root / "config" / "Tavisoft" / "Kestrun.conf",
                  "[General]\nFolder=1\nPath=" + (root / "dest").string() + "\n");
        fs::create_directories(root / "dest");
        fs::create_directories(root / "runtime");
        fs::permissions(root / "runtime", fs::perms::owner_all);
        fs::create_directories(root / "empty");
        writeText(root / "unchanged" / kestrun::kIncludeListFile, src.string() + "\t1\t0\r\n");
        writeText(root / "first" / kestrun::kIncludeListFile, src.string() + "\t7\t0\r\n");
        // The markers of the unchanged runs: one first run of kbm makes them.
        const Outcome setup = kbm(root / "first", root / "data");
        if (setup.exitCode != 1)
            throw std::runtime_error("kbm's setup run failed");
    }
    ~Bench() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void shell(const std::string& command) const {
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error(command + " failed");
    }
    Outcome kbm(const fs::path& work, const fs::path& data) const {
        return runProcess({program.string()}, work,
                          {"QT_QPA_PLATFORM=offscreen", "APPDATA=" + data.string(),
                           "XDG_CONFIG_HOME=" + (root / "config").string(),
                           "XDG_RUNTIME_DIR=" + (root / "runtime").string()});
    }
    std::size_t scanInProcess(const fs::path& data, std::int32_t mode) const {
        kestrun::SystemClock clock;
        kestrun::BackupLog log(root, clock);
        kestrun::NullProgress progress;
        const kestrun::BackupList include{{src.string(), mode, 0}}, exclude;
        return kestrun::ScanPhase({root / kestrun::kQueueFile, kestrun::markerFolder(data)},
                                  include, exclude, log, progress)
            .run();
    }
    // Moves a folder out of the way at once; the trash goes when the bench ends.
    void discard(const fs::path& folder) {
        std::error_code ec;
        fs::create_directories(root / "trash");
        fs::rename(folder, root / "trash" / std::to_string(trashCount++), ec);
    }

    long files;
    fs::path program;
    fs::path root, src;
    int trashCount = 0;
};

struct Series {
    std::vector<double> ours, reference;
    long maxRssKb = 0;
};

void printRow(const std::string& name, const std::string& refName, const Series& s) {
    std::vector<double> ratio;
    for (std::size_t i = 0; i < s.ours.size(); ++i)
        ratio.push_back(s.ours[i] / s.reference[i]);
    using kestrun::bench::median;
    using kestrun::bench::minimum;
    std::printf("| %s | %.3f s / %.3f s | %s %.3f s / %.3f s | %.2f / %.2f |\n", name.c_str(),
                minimum(s.ours), median(s.ours), refName.c_str(), minimum(s.reference),
                median(s.reference), minimum(ratio), median(ratio));
    std::fflush(stdout);
}

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(what);
}

} // namespace

int main(int argc, char** argv) {
    long files = 100000;
    int runs = 5;
    bool unchangedOnly = false, inProcess = false;
    fs::path base = fs::temp_directory_path();
    fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "kbm";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--files" && i + 1 < argc)
            files = std::atol(argv[++i]);
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--dir" && i + 1 < argc)
            base = argv[++i];
        else if (arg == "--kbm" && i + 1 < argc)
            program = fs::absolute(argv[++i]);
        else if (arg == "--unchanged-only")
            unchangedOnly = true;
        else if (arg == "--in-process")
            inProcess = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--files N] [--runs N] [--unchanged-only] "
                         "[--in-process] [--dir FOLDER] [--kbm PROGRAM]\n",
                         argv[0]);
            return 2;
        }
    }
    try {
        Bench b(files, base, program);
        const std::string rsync = "/usr/bin/rsync";
        const std::vector<std::string> rsyncArgs{rsync, "-an", b.src.string() + "/",
                                                 (b.root / "mirror").string() + "/"};
        std::printf("kbm scan, %ld files, %d runs, %ld cores, tree in %s\n", files, runs,
                    sysconf(_SC_NPROCESSORS_ONLN), b.root.c_str());
        std::printf("| name | ours min / median | reference min / median | ratio min / median |\n");

        Series idle;
        for (int r = 0; r < runs; ++r) {
            const Outcome k = b.kbm(b.root / "empty", b.root / "data-empty");
            check(k.exitCode == 1, "kbm without lists did not end with 1");
            idle.ours.push_back(k.seconds);
            idle.reference.push_back(runProcess({"/bin/true"}, b.root, {}).seconds);
        }
        printRow("kbm process, nothing to back up (its 500 ms start timer)", "/bin/true", idle);

        Series unchanged;
        for (int r = 0; r < runs; ++r) {
            const Outcome k = b.kbm(b.root / "unchanged", b.root / "data");
            check(k.exitCode == 1 && fs::file_size(b.root / "unchanged" / "tobkp") == 0,
                  "the unchanged kbm run queued files");
            unchanged.ours.push_back(k.seconds);
            unchanged.maxRssKb = std::max(unchanged.maxRssKb, k.maxRssKb);
            unchanged.reference.push_back(runProcess(rsyncArgs, b.root, {}).seconds);
        }
        printRow("kbm process, unchanged", "rsync -an", unchanged);

        if (!unchangedOnly) {
            Series first;
            const fs::path target = b.root / "attributes";
            for (int r = 0; r < runs; ++r) {
                b.discard(b.root / "data-first");
                const Outcome k = b.kbm(b.root / "first", b.root / "data-first");
                check(k.exitCode == 1, "kbm's first run failed");
                first.ours.push_back(k.seconds);
                first.maxRssKb = std::max(first.maxRssKb, k.maxRssKb);
                b.discard(target);
                first.reference.push_back(runProcess({"/bin/cp", "-a", "--attributes-only",
                                                      b.src.string(), target.string()},
                                                     b.root, {})
                                              .seconds);
            }
            printRow("kbm process, first run (markers made)", "cp -a --attributes-only", first);
            std::printf("| kbm process peak RSS, first run | %.1f MB | | |\n",
                        first.maxRssKb / 1024.0);
        }
        std::printf("| kbm process peak RSS, unchanged | %.1f MB | | |\n",
                    unchanged.maxRssKb / 1024.0);

        if (inProcess) {
            Series scan, firstScan;
            for (int r = 0; r < runs; ++r) {
                auto t = Clock::now();
                check(b.scanInProcess(b.root / "data", 1) == 0, "the unchanged scan queued files");
                scan.ours.push_back(std::chrono::duration<double>(Clock::now() - t).count());
                scan.reference.push_back(runProcess(rsyncArgs, b.root, {}).seconds);
            }
            printRow("scan phase in-process, unchanged", "rsync -an", scan);
            if (!unchangedOnly) {
                const fs::path target = b.root / "attributes";
                for (int r = 0; r < runs; ++r) {
                    b.discard(b.root / "data-scan");
                    auto t = Clock::now();
                    check(b.scanInProcess(b.root / "data-scan", 1) == std::size_t(files),
                          "the first scan did not queue every file");
                    firstScan.ours.push_back(
                        std::chrono::duration<double>(Clock::now() - t).count());
                    b.discard(target);
                    firstScan.reference.push_back(runProcess({"/bin/cp", "-a", "--attributes-only",
                                                              b.src.string(), target.string()},
                                                             b.root, {})
                                                      .seconds);
                }
                printRow("scan phase in-process, first run (pending markers)",
                         "cp -a --attributes-only", firstScan);
            }
        }
        std::fprintf(stderr, "removing the tree\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kbm_scan_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
