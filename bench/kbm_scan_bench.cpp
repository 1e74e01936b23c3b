// The scan phase of a backup run over a tree of 100 000 files that did not change since the
// previous run, timed beside `rsync -an` comparing the same tree with an up-to-date mirror; and
// the first run over it (every marker made) beside `cp -a --attributes-only` of the tree. The
// counter peak_rss_MB is the process's high-water mark (VmHWM) after the scans.
#include "kbm/backup_log.h"
#include "kbm/marker.h"
#include "kbm/paths.h"
#include "kbm/run_progress.h"
#include "kbm/scan_phase.h"
#include "platform/clock.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;

struct Tree {
    Tree() {
        std::string pattern = (fs::temp_directory_path() / "kbm-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        root = pattern;
        src = root / "src";
        for (int d = 0; d < kFolders; ++d) {
            const fs::path folder =
                src / ("folder" + std::to_string(d / 100)) / ("sub" + std::to_string(d));
            fs::create_directories(folder);
            for (int f = 0; f < kFilesPerFolder; ++f)
                std::ofstream(folder / ("file" + std::to_string(f) + ".dat")) << f;
        }
        // An up-to-date mirror for rsync (hard links: same size and time, nothing to do).
        const std::string copy =
            "cp -al '" + src.string() + "' '" + (root / "mirror").string() + "'";
        if (std::system(copy.c_str()) != 0)
            throw std::runtime_error("cp -al failed");
        include = {{src.string(), 1, 0}};
        // The first run creates every marker; the benchmark times the runs after it.
        scan();
        settleAll();
    }
    // What the copy phase does for each file that arrived.
    void settleAll() {
        for (const auto& marker :
             fs::recursive_directory_iterator(fs::path(kestrun::markerFolder(root))))
            if (marker.is_regular_file())
                kestrun::settleMarker(marker.path().string());
    }
    ~Tree() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::size_t scan() {
        kestrun::SystemClock clock;
        kestrun::BackupLog log(root, clock);
        kestrun::NullProgress progress;
        return kestrun::ScanPhase({root / kestrun::kQueueFile, kestrun::markerFolder(root)},
                                  include, exclude, log, progress)
            .run();
    }

    fs::path root, src;
    kestrun::BackupList include, exclude;
};

double peakRssMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmHWM:"))
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

Tree& tree() {
    static Tree t;
    return t;
}

void BM_KbmScanUnchanged(benchmark::State& state) {
    Tree& t = tree();
    for (auto _ : state) {
        const std::size_t queued = t.scan();
        if (queued != 0)
            state.SkipWithError("files were queued although nothing changed");
    }
    state.counters["files"] = kFolders * kFilesPerFolder;
    state.counters["peak_rss_MB"] = peakRssMb();
}

void BM_KbmScanFirstRun(benchmark::State& state) {
    Tree& t = tree();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(kestrun::markerFolder(t.root));
        state.ResumeTiming();
        if (t.scan() != kFolders * kFilesPerFolder)
            state.SkipWithError("not every file was queued");
    }
    state.counters["files"] = kFolders * kFilesPerFolder;
}

void BM_CpAttributesOnly(benchmark::State& state) {
    Tree& t = tree();
    const fs::path target = t.root / "attributes";
    const std::string command =
        "cp -a --attributes-only '" + t.src.string() + "' '" + target.string() + "'";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(target);
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("cp failed");
    }
    state.counters["files"] = kFolders * kFilesPerFolder;
}

void BM_RsyncDryRunUnchanged(benchmark::State& state) {
    Tree& t = tree();
    const std::string command =
        "rsync -an '" + t.src.string() + "/' '" + (t.root / "mirror").string() + "/' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("rsync failed");
    }
    state.counters["files"] = kFolders * kFilesPerFolder;
}

BENCHMARK(BM_KbmScanUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_RsyncDryRunUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_KbmScanFirstRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CpAttributesOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
