#include "tests/kestrun/supervisor/monitor_fixture.h"

namespace kestrun::test {
namespace {

TEST_F(ProgramMonitorTest, AlwaysEntryRestartedWhenMissingAndLeftAloneWhenRunning) {
    const std::string name = sleeper("Keeper");
    const std::string path = (dir / "bin" / name).string();
    add(path + "?n300");

    monitor.check();
    EXPECT_EQ(host.lines, (std::vector<std::string>{
                              "Image not found as running proccess: " + path,
                              "Image started: " + path,
                          }));
    EXPECT_EQ(host.status[kStatusLastRun], "Last run: 09.12.2026 10:00:00 " + name);
    EXPECT_FALSE(host.status.count(kStatusLastCheck));
    ASSERT_TRUE(waitInstances(name, 1));

    host.lines.clear();
    clock.advance(5s);
    monitor.check();
    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    EXPECT_TRUE(list[0].running);
    EXPECT_EQ(host.status[kStatusLastCheck], "Last check: 09.12.2026 10:00:05");
    EXPECT_EQ(instances(name), 1);

    reaper.killAll();
    ASSERT_TRUE(waitInstances(name, 0));
    monitor.check();
    EXPECT_EQ(host.lines.size(), 2u);
    ASSERT_TRUE(waitInstances(name, 1));
}

TEST_F(ProgramMonitorTest, OneProcessMarksOneEntry) {
    const std::string name = sleeper("twin");
    const fs::path program = dir / "bin" / name;
    ChildProcess first(program, {"300"});
    ASSERT_TRUE(waitInstances(name, 1));
    add(program.string() + "?n300");
    add(program.string() + "?m300");

    monitor.check();
    EXPECT_TRUE(list[0].running);
    EXPECT_FALSE(list[1].running);
    EXPECT_EQ(host.lines.size(), 2u);
    ASSERT_TRUE(waitInstances(name, 2));

    host.lines.clear();
    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    EXPECT_TRUE(list[0].running && list[1].running);
}

// A disabled entry neither starts nor takes the process of an enabled twin.
TEST_F(ProgramMonitorTest, DisabledEntriesAreLeftOut) {
    const std::string name = sleeper("quiet");
    const fs::path program = dir / "bin" / name;
    add(program.string() + "?n300").disabled = true;
    add(dir.path().string() + "/none/missing?n").disabled = true;
    ChildProcess one(program, {"300"});
    ASSERT_TRUE(waitInstances(name, 1));
    add(program.string() + "?n300");

    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    EXPECT_TRUE(list[2].running);
    EXPECT_EQ(instances(name), 1);
}

TEST_F(ProgramMonitorTest, TextSplitAtInnerMinimisedMarkerRunsInItsFolder) {
    // The file is literally named "rec?n-a": everything before the "?m" is the path.
    const fs::path out = dir / "rec.out";
    test::writeScript(dir / "Work" / "rec?n-a", "pwd > '" + out.string() +
                                                    "'\nprintf '%s\\n' \"$@\" >> '" + out.string() +
                                                    "'\n");
    add((dir / "Work").string() + "/rec?n-a?mb \"c d\"");

    monitor.check();
    EXPECT_EQ(host.lines.back(), "Image started: " + (dir / "Work").string() + "/rec?n-a");
    ASSERT_TRUE(test::waitUntil([&] { return test::readLines(out).size() == 3; }));
    EXPECT_EQ(test::readLines(out),
              (std::vector<std::string>{(dir / "Work").string(), "b", "c d"}));
}

// A start that fails tells its cause once; the third failure in a row ends the lines of each
// attempt.
TEST_F(ProgramMonitorTest, FailedStartsTellTheirCauseOnceThenGoQuiet) {
    const std::string path = dir.path().string() + "/None/Missing";
    add(path + "?n");
    const std::string notFound = "Image not found as running proccess: " + path;
    const std::string notStarted = "Image NOT started: " + path;
    const std::vector<std::vector<std::string>> checks = {
        {notFound, notStarted,
         "Start failed (working folder not found: " + dir.path().string() + "/None): " + path},
        {notFound, notStarted, "Start failed (file not found): " + path},
        {notFound, notStarted,
         "Image keeps ending: " + path +
             " (3 starts since 09.12.2026 10:00:00, last start failed: file not found)"},
        {},
    };
    for (const auto& expected : checks) {
        host.lines.clear();
        monitor.check();
        EXPECT_EQ(host.lines, expected);
        fs::create_directories(dir / "None");
        clock.advance(5s);
    }
    EXPECT_FALSE(host.status.count(kStatusLastRun));
}

TEST_F(ProgramMonitorTest, LongRunningScriptStartsOnceThenCountsAsRunning) {
    const std::string script = test::uniqueName("Looper", dir.path()) + ".sh";
    test::writeScript(dir / "bin" / script, "while :; do sleep 1; done\n");
    add((dir / "bin" / script).string() + "?n");

    monitor.check();
    EXPECT_EQ(host.lines.size(), 2u);
    ASSERT_TRUE(waitInstances(script, 1));
    host.lines.clear();
    for (int i = 0; i < 3; ++i)
        monitor.check();
    EXPECT_TRUE(host.lines.empty());
    // (The shell's children carry its name between fork and exec: wait for a quiet moment.)
    EXPECT_TRUE(waitInstances(script, 1));
}

// Our own start counts by its pid, also after the wrapper has exec'd another program and when
// the list is edited around its entry; removing the entry leaves the program running.
TEST_F(ProgramMonitorTest, OurStartCountsAfterExecAndFollowsItsEntry) {
    const std::string name = sleeper("wrapped");
    const fs::path wrapper = dir / "bin" / "wrapper.sh";
    test::writeScript(wrapper, "exec '" + (dir / "bin" / name).string() + "' 300\n");
    add(wrapper.string() + "?n");
    monitor.check();
    ASSERT_TRUE(waitInstances(name, 1));
    ProgramEntry before;
    before.text = dir.path().string() + "/elsewhere?n";
    before.disabled = true;
    for (int i = 0; i < 4; ++i) {
        if (i == 2)
            list.insert(list.begin(), before);
        clock.advance(5s);
        monitor.check();
    }
    EXPECT_EQ(host.lines.size(), 2u);
    EXPECT_EQ(instances(name), 1);
    list.clear();
    monitor.check();
    EXPECT_EQ(instances(name), 1);
}

// A program that ends at once is started at every check; from the third such start in a row
// on, its lines give way to a summary once an hour, until it is found running again.
TEST_F(ProgramMonitorTest, ProgramThatKeepsEndingIsSummarisedHourly) {
    const std::string script = test::uniqueName("crash", dir.path()) + ".sh";
    const fs::path file = dir / "bin" / script;
    test::writeScript(file, "exit 3\n");
    add(file.string() + "?n");
    const auto beats = [&](int count) {
        host.lines.clear();
        for (int i = 0; i < count; ++i) {
            monitor.check();
            ASSERT_TRUE(waitInstances(script, 0));
            clock.advance(5s);
        }
    };
    beats(3);
    EXPECT_EQ(host.lines.size(), 6u);
    beats(1);
    const std::string summary = "Image keeps ending: " + file.string() + " (";
    EXPECT_EQ(host.lines, std::vector<std::string>{summary + "3 starts since 09.12.2026 10:00:00, "
                                                             "last exit status 3)"});
    beats(3);
    EXPECT_TRUE(host.lines.empty());
    clock.advance(1h);
    beats(1);
    EXPECT_EQ(host.lines, std::vector<std::string>{summary + "4 starts since 09.12.2026 10:00:15, "
                                                             "last exit status 3)"});

    const std::string name = sleeper("upright");
    test::writeScript(file, "exec '" + (dir / "bin" / name).string() + "' 300\n");
    beats(0);
    monitor.check();
    ASSERT_TRUE(waitInstances(name, 1));
    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    reaper.killAll();
    ASSERT_TRUE(waitInstances(name, 0));
    monitor.check();
    EXPECT_EQ(host.lines.size(), 2u);
    EXPECT_TRUE(waitInstances(name, 1));
}

// A program given by its bare name is looked up from the working folder on and starts where
// it is found; one found nowhere is a failed start.
TEST_F(ProgramMonitorTest, BareNameStartsFromTheWorkingFolder) {
    host.folder = dir / "work";
    const std::string name = test::uniqueName("bare", dir.path());
    test::copyExecutable("/bin/sleep", host.folder / name);
    add(name + "?n300");
    const std::string nowhere = test::uniqueName("nowhere", dir.path());
    add(nowhere + "?n");

    monitor.check();
    EXPECT_EQ(host.lines, (std::vector<std::string>{
                              "Image not found as running proccess: " + name,
                              "Image started: " + name,
                              "Image not found as running proccess: " + nowhere,
                              "Image NOT started: " + nowhere,
                              "Start failed (not found in the working folder, beside Kestrun or "
                              "on PATH): " +
                                  nowhere,
                          }));
    ASSERT_TRUE(waitInstances(name, 1));
    const auto all = table.processes();
    const auto started = std::find_if(all->begin(), all->end(),
                                      [&](const auto& p) { return p.names.front() == name; });
    ASSERT_NE(started, all->end());
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(started->pid) + "/cwd"), host.folder);

    host.lines.clear();
    monitor.check();
    EXPECT_EQ(host.lines.size(), 2u); // only the one found nowhere, its cause told once
}

TEST_F(ProgramMonitorTest, BusyFlagHeldProgramAndUnreadableProcessTable) {
    add(dir.path().string() + "/Missing?n");
    busy = 1;
    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    busy = 0;
    // A program the update engine closed to replace it waits until it is released.
    HeldPrograms held;
    held.hold("MISSING");
    monitor.setHeld(&held);
    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    // Held by two pieces of work: the end of one leaves the other's hold.
    held.hold("missing");
    held.release("Missing");
    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    held.releaseAll();
    monitor.check();
    ASSERT_EQ(host.lines.size(), 3u);
    EXPECT_EQ(host.lines[0],
              "Image not found as running proccess: " + dir.path().string() + "/Missing");
    host.lines.clear();

    RecordingLauncher recorder;
    ProcProcessTable broken(clock, dir / "no-proc");
    ProgramMonitor blind(list, busy, host, clock, broken, recorder);
    blind.check();
    EXPECT_EQ(host.lines, std::vector<std::string>{"Error in getting procces snapshot"});
    EXPECT_TRUE(recorder.starts.empty());
}

// Schedules run on virtual time; the process table is the real one.

TEST_F(ProgramMonitorTest, JarCountsAsRunningWhileJavaCarriesItsPath) {
    // A "java" on PATH that records how it was started and then keeps running.
    test::copyExecutable(test::binDir() / "fake_java_helper", dir / "jre" / "java");
    test::ScopedEnv path{"PATH", (dir / "jre").string() + ":/usr/bin:/bin"};
    const std::string jar = (dir / "Apps" / "Server.jar").string();
    test::writeFile(jar, "PK");
    add(jar + "?n-port 80");
    std::optional<ChildProcess> java(std::in_place, dir / "jre" / "java",
                                     std::vector<std::string>{"-jar", jar});
    const fs::path record = dir / "java.args";
    test::ScopedEnv log{"KESTRUN_FAKE_JAVA_LOG", record.string()};
    const auto javaCarriesJar = [&] {
        const auto lines = table.javaCommandLines();
        return lines && std::any_of(lines->begin(), lines->end(), [&](const auto& l) {
                   return l.find(jar) != std::string::npos;
               });
    };
    ASSERT_TRUE(test::waitUntil(javaCarriesJar));
    for (int i = 0; i < 3; ++i)
        monitor.check();
    EXPECT_TRUE(host.lines.empty());
    EXPECT_EQ(list[0].missCount, 0);
    EXPECT_EQ(host.status[kStatusLastCheck], "Last check: 09.12.2026 10:00:00");

    java->stop();
    java.reset();
    for (int miss = 1; miss <= 4; ++miss) {
        monitor.check();
        EXPECT_TRUE(host.lines.empty()) << miss;
        EXPECT_EQ(list[0].missCount, miss);
    }
    monitor.check();
    EXPECT_EQ(host.lines, (std::vector<std::string>{"Image not found as running proccess: " + jar,
                                                    "Image started: " + jar}));
    EXPECT_EQ(list[0].missCount, 0);
    ASSERT_TRUE(test::waitUntil([&] { return !test::readLines(record).empty(); }));
    EXPECT_EQ(test::readLines(record), std::vector<std::string>{"-jar " + jar + " -port 80"});

    // The started runtime carries the path: running again, no misses.
    ASSERT_TRUE(test::waitUntil(javaCarriesJar));
    host.lines.clear();
    monitor.check();
    EXPECT_TRUE(host.lines.empty());
    EXPECT_EQ(list[0].missCount, 0);
}

} // namespace
} // namespace kestrun::test
