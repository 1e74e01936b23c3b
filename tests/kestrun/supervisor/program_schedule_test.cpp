#include "tests/kestrun/supervisor/monitor_fixture.h"

namespace kestrun::test {
namespace {

TEST_F(ScheduleTest, WhatCountsAsTheRunningProgram) {
    const std::string tool = sleeper("tool");
    const fs::path link = dir / "bin" / ("link_" + tool);
    fs::create_symlink(dir / "bin" / tool, link);
    const std::string borrowed = "/opt/x/" + tool + ".sh";
    // Scripts run through the interpreter an entry names.
    const std::string ledger = (dir / "srv" / "ledger_server.py").string();
    const std::string moved = (dir / "old" / "ledger_server.py").string();
    const std::string other = (dir / "srv" / "other.py").string();
    for (const auto& script : {ledger, moved, other})
        test::writeFile(script, "import time\ntime.sleep(40)\n");
    const fs::path python = "/usr/bin/python3";
    struct Case {
        const char* how;
        std::string entry;
        fs::path program;
        std::vector<std::string> args;
        bool counts;
    };
    const std::vector<Case> cases = {
        {"a copy under the entry's name", tool + "?n", dir / "bin" / tool, {"40"}, true},
        {"started through the entry's link", link.string() + "?n", link, {"40"}, true},
        {"exec -a <script path>",
         borrowed + "?n",
         "/bin/bash",
         {"-c", "exec -a " + borrowed + " sleep 40"},
         false},
        {"exec -a <bare name>",
         tool + "?n",
         "/bin/bash",
         {"-c", "exec -a " + tool + " sleep 40"},
         false},
        {"the interpreter runs the entry's script",
         python.string() + "?n" + ledger,
         python,
         {ledger},
         true},
        {"the interpreter runs another script",
         python.string() + "?n" + ledger,
         python,
         {other},
         false},
        {"the same name elsewhere", python.string() + "?n" + ledger, python, {moved}, false},
        {"a bare script name", python.string() + "?n-u ledger_server.py", python, {moved}, true},
        {"an interpreter without a script", python.string() + "?n", python, {other}, true},
        {"an option's value is no script",
         python.string() + "?n-W ignore " + ledger,
         python,
         {"-W", "ignore", ledger},
         true},
        {"a module names no script: the name counts",
         python.string() + "?n-m http.server",
         python,
         {"-c", "import time; time.sleep(40)"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        list.clear();
        recorder.starts.clear();
        add(c.entry);
        ChildProcess process(c.program, c.args);
        // Until bash has made way for sleep.
        ASSERT_TRUE(test::waitUntil([&] {
            const auto all = table.processes();
            return all && std::any_of(all->begin(), all->end(), [&](const auto& p) {
                       return p.pid == process.pid() && p.names.front() != "bash";
                   });
        }));
        scheduled.check();
        EXPECT_EQ(recorder.starts.empty(), c.counts);
    }
    // The id of a started process that has ended, now another process's, counts for nothing.
    list.clear();
    recorder.starts.clear();
    add(sleeper("gone") + "?n");
    ChildProcess stranger(dir / "bin" / tool, {"40"});
    recorder.pid = stranger.pid();
    scheduled.check();
    scheduled.check();
    EXPECT_EQ(recorder.starts.size(), 1u);
    recorder.ended = true;
    scheduled.check();
    EXPECT_EQ(recorder.starts.size(), 2u);
}

TEST_F(ScheduleTest, PeriodicStartsFirstThenAfterThePeriodAndNotWhileRunning) {
    const std::string name = sleeper("periodic");
    const fs::path program = dir / "bin" / name;
    addScheduled(program.string() + "?m-x -y", ProgramMode::Periodic, 30);

    scheduled.check(); // first check after loading
    ASSERT_EQ(recorder.starts.size(), 1u);
    EXPECT_EQ(recorder.starts[0].path, program.string());
    EXPECT_EQ(recorder.starts[0].parameters, "-x -y");
    EXPECT_EQ(recorder.starts[0].folder, (dir / "bin").string());
    EXPECT_TRUE(recorder.starts[0].minimised);
    EXPECT_EQ(list[0].lastStart, kWednesday10);
    EXPECT_EQ(host.lines,
              (std::vector<std::string>{"Its time to execute (periodically): " + program.string(),
                                        "Image started: " + program.string()}));

    clock.advance(30min + 59s);
    scheduled.check(); // 30 whole minutes: not more than the period
    EXPECT_EQ(recorder.starts.size(), 1u);
    clock.advance(1s);
    scheduled.check();
    EXPECT_EQ(recorder.starts.size(), 2u);
    const LocalDateTime second = clock.now();
    EXPECT_EQ(list[0].lastStart, second);

    // Due again, but running: not started, the last start stays.
    ChildProcess running(program, {"300"});
    ASSERT_TRUE(waitInstances(name, 1));
    clock.advance(2h);
    scheduled.check();
    EXPECT_EQ(recorder.starts.size(), 2u);
    EXPECT_EQ(list[0].lastStart, second);
    running.stop();
    scheduled.check();
    EXPECT_EQ(recorder.starts.size(), 3u);
}

TEST_F(ScheduleTest, WeekdayMaskHoldsBackScheduledEntriesOnly) {
    // Every day but Wednesday.
    addScheduled(dir.path().string() + "/p?n", ProgramMode::Periodic, 30, 127 & ~4);
    addScheduled(dir.path().string() + "/d?n", ProgramMode::Daily, 10 * 3600, 127 & ~4);
    add(dir.path().string() + "/a?n").weekdays = 0;
    for (int i = 0; i < 3; ++i) {
        scheduled.check();
        clock.advance(20s);
    }
    ASSERT_EQ(recorder.starts.size(), 3u); // the always entry, at every check
    for (const auto& s : recorder.starts)
        EXPECT_EQ(s.path, dir.path().string() + "/a");

    recorder.starts.clear();
    clock.setNow(LocalDateTime::fromFields(2026, 12, 10, 10, 0, 0)); // Thursday
    scheduled.check();
    ASSERT_EQ(recorder.starts.size(), 3u);
    EXPECT_EQ(recorder.starts[0].path, dir.path().string() + "/p");
    EXPECT_EQ(recorder.starts[1].path, dir.path().string() + "/d");
}

TEST_F(ScheduleTest, DailyStartsOnceInItsMinuteEveryAllowedDay) {
    // 10:00 on Monday to Friday.
    addScheduled(dir.path().string() + "/Daily?n", ProgramMode::Daily, 10 * 3600, 31);
    const auto startsOn = [&](LocalDateTime when) {
        clock.setNow(when);
        const std::size_t before = recorder.starts.size();
        scheduled.check();
        return recorder.starts.size() - before;
    };
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 9, 9, 59, 59)), 0u);
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 9, 10, 0, 4)), 1u);
    EXPECT_EQ(host.lines.front(), "Its time to execute (daily): " + dir.path().string() + "/Daily");
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 9, 10, 0, 9)), 0u);
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 9, 10, 0, 59)), 0u);
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 9, 10, 1, 0)), 0u);
    // The next day in the same minute, though less than 1440 minutes have passed.
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 10, 10, 0, 0)), 1u);
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 11, 10, 0, 2)), 1u);
    // Saturday and Sunday are not in the mask; Monday is.
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 12, 10, 0, 2)), 0u);
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 13, 10, 0, 2)), 0u);
    EXPECT_EQ(startsOn(LocalDateTime::fromFields(2026, 12, 14, 10, 0, 2)), 1u);
    EXPECT_EQ(list[0].lastStart, LocalDateTime::fromFields(2026, 12, 14, 10, 0, 2));
}

} // namespace
} // namespace kestrun::test
