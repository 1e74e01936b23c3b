// One program check over 40 entries against this machine's process table, beside `ps -e`
// listing the same table.

#include "kestrun/supervisor/program_monitor.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>

namespace kestrun {
namespace {

class SilentHost final : public MonitorHost {
public:
    void log(std::string_view) override {}
    void setStatusLine(int, const std::string&) override {}
    const std::filesystem::path& workingFolder() const override { return folder_; }

private:
    std::filesystem::path folder_ = "/nonexistent";
};

// Counts the starts instead of starting anything.
class CountingLauncher final : public ProgramLauncher {
public:
    std::optional<std::int64_t> start(const std::string&, const std::string&,
                                      const std::filesystem::path&, bool) override {
        ++starts;
        return 1;
    }
    long starts = 0;
};

// 40 entries: "always" entries for up to 20 programs that run now, the rest daily, periodic
// and ".jar" entries that run nowhere and are not due.
ProgramList benchmarkList(ProcessTable& table) {
    ProgramList list;
    if (const auto all = table.processes()) {
        for (const auto& p : *all) {
            if (list.size() == 20)
                break;
            ProgramEntry e;
            e.text = "/usr/bin/" + p.names.front() + "?n";
            list.push_back(e);
        }
    }
    for (int i = 0; list.size() < 40; ++i) {
        ProgramEntry e;
        e.weekdays = 127;
        switch (i % 3) {
        case 0:
            e.text = "/opt/apps/daily" + std::to_string(i) + "?m-q";
            e.mode = ProgramMode::Daily;
            e.dailyTime = -60; // never this minute
            break;
        case 1:
            e.text = "/opt/apps/periodic" + std::to_string(i) + "?n";
            e.mode = ProgramMode::Periodic;
            e.period = 4294967295u;
            e.lastStart = LocalDateTime::fromFields(2026, 1, 1, 0, 0, 0);
            break;
        default:
            e.text = "/opt/apps/server" + std::to_string(i) + ".jar?n";
            e.mode = ProgramMode::Daily;
            e.dailyTime = -60;
            break;
        }
        list.push_back(e);
    }
    return list;
}

void BM_ProgramCheck40Entries(benchmark::State& state) {
    SystemClock clock;
    ProcProcessTable table(clock);
    SilentHost host;
    CountingLauncher launcher;
    std::atomic<std::int32_t> busy{0};
    ProgramList list = benchmarkList(table);
    ProgramMonitor monitor(list, busy, host, clock, table, launcher);
    for (auto _ : state)
        monitor.check();
    const auto all = table.processes();
    state.counters["processes"] = all ? static_cast<double>(all->size()) : 0;
    state.counters["entries"] = static_cast<double>(list.size());
    state.counters["starts"] = static_cast<double>(launcher.starts);
}
BENCHMARK(BM_ProgramCheck40Entries)->Unit(benchmark::kMillisecond);

// The two reads of the process table that a check makes, on their own.
void BM_ProcessTableScan(benchmark::State& state) {
    SystemClock clock;
    ProcProcessTable table(clock);
    for (auto _ : state) {
        auto names = table.processes();
        benchmark::DoNotOptimize(names);
        auto java = table.javaCommandLines();
        benchmark::DoNotOptimize(java);
    }
}
BENCHMARK(BM_ProcessTableScan)->Unit(benchmark::kMillisecond);

void BM_PsE(benchmark::State& state) {
    for (auto _ : state) {
        std::unique_ptr<FILE, int (*)(FILE*)> ps(::popen("ps -e", "r"), &::pclose);
        if (!ps) {
            state.SkipWithError("ps -e could not be started");
            break;
        }
        char buffer[4096];
        std::size_t bytes = 0;
        while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, ps.get()))
            bytes += got;
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_PsE)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kestrun

BENCHMARK_MAIN();
