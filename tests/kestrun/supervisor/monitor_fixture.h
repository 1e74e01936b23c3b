#pragma once

// The program monitor's test fixture: a real process table and launcher on temporary folders,
// a recording launcher for the schedule, and the test clock.

#include "common/text.h"
#include "kestrun/supervisor/held_programs.h"
#include "kestrun/supervisor/program_monitor.h"
#include "tests/platform/process_test_support.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>

namespace kestrun::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RecordingHost final : public MonitorHost {
public:
    void log(std::string_view message) override { lines.emplace_back(message); }
    void setStatusLine(int id, const std::string& text) override { status[id] = text; }
    const fs::path& workingFolder() const override { return folder; }

    fs::path folder;
    std::vector<std::string> lines;
    std::map<int, std::string> status;
};

// Records the starts and starts nothing, for the schedule tests: the pid it returns belongs to
// no process.
class RecordingLauncher final : public ProgramLauncher {
public:
    StartResult start(const std::string& path, const std::string& parameters,
                      const fs::path& workingFolder, bool minimised) override {
        starts.push_back({path, parameters, workingFolder.string(), minimised});
        return pid;
    }
    bool hasEnded(std::int64_t) override { return ended; }
    std::int64_t pid = std::int64_t{1} << 30;
    bool ended = false; // the started process has ended, whoever has its id now
    struct Start {
        std::string path, parameters, folder;
        bool minimised;
    };
    std::vector<Start> starts;
};

// Wednesday.
const LocalDateTime kWednesday10 = LocalDateTime::fromFields(2026, 12, 9, 10, 0, 0);

class ProgramMonitorTest : public ::testing::Test {
protected:
    ProgramEntry& add(const std::string& text, ProgramMode mode = ProgramMode::Always) {
        ProgramEntry entry;
        entry.text = text;
        entry.mode = mode;
        list.push_back(entry);
        return list.back();
    }
    ProgramEntry& addScheduled(const std::string& text, ProgramMode mode, std::uint32_t value,
                               std::uint8_t weekdays = 127) {
        ProgramEntry& entry = add(text, mode);
        entry.weekdays = weekdays;
        if (mode == ProgramMode::Daily)
            entry.dailyTime = static_cast<std::int32_t>(value);
        else
            entry.period = value;
        return entry;
    }
    // How many running processes carry the name.
    int instances(const std::string& name) {
        const auto all = table.processes();
        return all ? static_cast<int>(std::count_if(all->begin(), all->end(),
                                                    [&](const auto& p) {
                                                        return std::find(p.names.begin(),
                                                                         p.names.end(),
                                                                         name) != p.names.end();
                                                    }))
                   : -1;
    }
    bool waitInstances(const std::string& name, int count) {
        return test::waitUntil([&] { return instances(name) == count; });
    }
    std::string sleeper(const std::string& prefix) {
        const std::string name = test::uniqueName(prefix, dir.path());
        test::copyExecutable("/bin/sleep", dir / "bin" / name);
        return name;
    }

    TempDir dir;
    test::FolderReaper reaper{dir.path()};
    TestClock clock{kWednesday10};
    ProcProcessTable table{clock};
    DetachedProgramLauncher launcher;
    RecordingHost host;
    std::atomic<std::int32_t> busy{0};
    ProgramList list;
    ProgramMonitor monitor{list, busy, host, clock, table, launcher};
};

class ScheduleTest : public ProgramMonitorTest {
protected:
    RecordingLauncher recorder;
    ProgramMonitor scheduled{list, busy, host, clock, table, recorder};
};

// Which running process keeps an "always" entry from being started.

} // namespace kestrun::test
