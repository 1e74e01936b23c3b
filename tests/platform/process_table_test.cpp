#include "common/text.h"
#include "platform/process_table.h"
#include "tests/platform/process_test_support.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::TempDir;

const ProcessInfo* findPid(const std::vector<ProcessInfo>& table, long pid) {
    for (const auto& p : table)
        if (p.pid == pid)
            return &p;
    return nullptr;
}

bool hasName(const ProcessInfo& p, const std::string& name) {
    return std::find(p.names.begin(), p.names.end(), name) != p.names.end();
}

bool anyNamed(ProcessTable& table, const std::string& name) {
    const auto all = table.processes();
    return all && std::any_of(all->begin(), all->end(),
                              [&](const ProcessInfo& p) { return hasName(p, name); });
}

class ProcessTableTest : public ::testing::Test {
protected:
    TempDir dir;
    test::FolderReaper reaper{dir.path()};
    TestClock clock{LocalDateTime::fromFields(2026, 12, 9, 10, 0, 0)};
    ProcProcessTable table{clock};
};

TEST_F(ProcessTableTest, NamesRealProcessesByExecutableAndScript) {
    const std::string sleeper = test::uniqueName("Sleeper", dir.path());
    test::copyExecutable("/bin/sleep", dir / sleeper);
    const std::string script = test::uniqueName("loop", dir.path()) + ".sh";
    test::writeScript(dir / script, "while :; do sleep 1; done\n");

    std::optional<ChildProcess> a(std::in_place, dir / sleeper, std::vector<std::string>{"100"});
    ChildProcess b(dir / script, {});
    ChildProcess viaShell("/bin/sh", {(dir / script).string()});

    ASSERT_TRUE(test::waitUntil([&] {
        const auto all = table.processes();
        const ProcessInfo* pa = all ? findPid(*all, a->pid()) : nullptr;
        const ProcessInfo* pb = all ? findPid(*all, b.pid()) : nullptr;
        const ProcessInfo* pc = all ? findPid(*all, viaShell.pid()) : nullptr;
        return pa && pb && pc && hasName(*pa, sleeper) && hasName(*pb, script) &&
               hasName(*pc, script);
    }));
    const auto all = table.processes();
    ASSERT_TRUE(all);
    EXPECT_TRUE(std::is_sorted(all->begin(), all->end(),
                               [](const auto& x, const auto& y) { return x.pid < y.pid; }));
    // The script's process runs as its interpreter and is known by that name too.
    EXPECT_EQ(findPid(*all, b.pid())->names.front(), fs::canonical("/bin/sh").filename().string());

    const pid_t gone = a->pid();
    a.reset();
    EXPECT_FALSE(findPid(*table.processes(), gone));
    EXPECT_FALSE(anyNamed(table, sleeper));
}

TEST_F(ProcessTableTest, JavaCommandLinesComeFromJavaProcessesOnly) {
    test::copyExecutable(test::binDir() / "fake_java_helper", dir / "jre" / "java");
    test::copyExecutable(test::binDir() / "fake_java_helper", dir / "jre" / "notjava");
    const std::string jar = (dir / "Apps" / "Tool.jar").string();
    ChildProcess java(dir / "jre" / "java", {"-Xmx16m", "-jar", jar, "a b"});
    ChildProcess other(dir / "jre" / "notjava", {"-jar", jar});

    const std::string expected = (dir / "jre" / "java").string() + " -Xmx16m -jar " + jar + " a b";
    ASSERT_TRUE(test::waitUntil([&] {
        const auto lines = table.javaCommandLines();
        return lines && std::find(lines->begin(), lines->end(), expected) != lines->end();
    }));
    const auto lines = table.javaCommandLines();
    ASSERT_TRUE(lines);
    for (const auto& line : *lines)
        EXPECT_EQ(line.find("notjava"), std::string::npos) << line;
}

TEST_F(ProcessTableTest, CloseFirstEndsTheLowestPidAndKillsWhatIgnoresTerm) {
    const std::string name = "CloseMe_" + test::uniqueName("x", dir.path());
    test::copyExecutable("/bin/sleep", dir / name);
    ChildProcess one(dir / name, {"100"});
    ChildProcess two(dir / name, {"100"});
    ASSERT_TRUE(test::waitUntil([&] {
        const auto all = table.processes();
        return all && findPid(*all, one.pid()) && findPid(*all, two.pid()) &&
               hasName(*findPid(*all, one.pid()), name) && hasName(*findPid(*all, two.pid()), name);
    }));
    ChildProcess& low = one.pid() < two.pid() ? one : two;
    ChildProcess& high = one.pid() < two.pid() ? two : one;

    // Compared case-insensitively; the first one has ended on return, the other runs on.
    SystemClock realClock;
    ProcProcessTable realTable(realClock);
    EXPECT_TRUE(realTable.closeFirst(toLowerAscii(name)));
    const auto status = low.tryWait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    EXPECT_FALSE(high.tryWait());
    EXPECT_FALSE(table.closeFirst("no-such-program-" + name));

    // A script that ignores SIGTERM, closed by its own name, is killed once the second has
    // passed (virtual time here).
    const std::string stubborn = test::uniqueName("stubborn", dir.path()) + ".sh";
    const fs::path ready = dir / "ready";
    test::writeScript(dir / stubborn,
                      "trap '' TERM\ntouch '" + ready.string() + "'\nwhile :; do sleep 1; done\n");
    ChildProcess hard(dir / stubborn, {});
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(ready) && anyNamed(table, stubborn); }));
    const std::uint64_t before = clock.monotonicMs();
    EXPECT_TRUE(table.closeFirst(stubborn));
    EXPECT_GE(clock.monotonicMs() - before, 1000u);
    const auto hardStatus = hard.tryWait();
    ASSERT_TRUE(hardStatus);
    EXPECT_TRUE(WIFSIGNALED(*hardStatus) && WTERMSIG(*hardStatus) == SIGKILL);
}

// Processes that end while the table is read leave no hole: every scan still finds the
// long-lived one, and nothing breaks.
TEST_F(ProcessTableTest, ProcessesVanishingDuringScans) {
    const std::string name = test::uniqueName("steady", dir.path());
    test::copyExecutable("/bin/sleep", dir / name);
    ChildProcess steady(dir / name, {"100"});
    ASSERT_TRUE(test::waitUntil([&] { return anyNamed(table, name); }));

    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            ChildProcess shortLived("/bin/true", {});
        }
    });
    int scans = 0;
    bool alwaysFound = true;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
         std::chrono::steady_clock::now() < end; ++scans) {
        alwaysFound = alwaysFound && anyNamed(table, name);
        ASSERT_TRUE(table.javaCommandLines());
    }
    stop = true;
    churn.join();
    EXPECT_GT(scans, 0);
    EXPECT_TRUE(alwaysFound);
}

// A table read from a folder laid out like /proc, with what a real one may hold: processes
// without an executable link, links that cannot be read, replaced executables, endless and
// garbage command lines, scripts and FIFOs named as arguments.
TEST_F(ProcessTableTest, ReadsOddEntriesOfAFakeProcFolder) {
    const fs::path root = dir / "proc";
    const auto proc = [&](const std::string& pid, const std::string& cmdline) {
        fs::create_directories(root / pid);
        test::writeFile(root / pid / "cmdline", cmdline);
        return root / pid;
    };
    using namespace std::string_literals;
    fs::create_directories(root / "self");
    fs::create_directories(root / "sys");
    fs::create_symlink("/opt/zelmo/Zelmo (deleted)", proc("100", "") / "exe");
    test::writeFile(proc("9", "/usr/bin/Thing\0--flag\0"s) / "exe", "not a link");
    proc("12", "");                        // kernel thread: no name
    fs::create_directories(root / "13");   // vanished: nothing readable
    proc("14", std::string(1 << 20, 'x')); // endless argv[0] without NUL
    proc("15", "\xff\xfe\x01\0\0\0"s);     // garbage
    test::writeScript(dir / "scripts" / "Run.sh", "sleep 1\n");
    fs::create_symlink("/usr/bin/dash",
                       proc("16", "/bin/sh\0"s + (dir / "scripts" / "Run.sh").string() + "\0"s) /
                           "exe");
    test::writeFile(dir / "scripts" / "rel.py", "#!/usr/bin/env python3\nprint()\n");
    fs::create_symlink("/usr/bin/python3.11", proc("17", "python3\0-u\0rel.py\0"s) / "exe");
    fs::create_symlink(dir / "scripts", root / "17" / "cwd");
    ASSERT_EQ(::mkfifo((dir / "scripts" / "pipe").c_str(), 0600), 0);
    fs::create_symlink("/usr/bin/dash",
                       proc("18", "sh\0"s + (dir / "scripts" / "pipe").string() + "\0"s) / "exe");
    test::writeFile(dir / "scripts" / "notes.txt", "#!/bin/sh\n");
    fs::create_symlink("/usr/bin/less",
                       proc("19", "less\0"s + (dir / "scripts" / "notes.txt").string() + "\0"s) /
                           "exe");
    fs::create_symlink("/usr/lib/jvm/bin/java", proc("20", "java\0-jar\0/X/App.jar\0"s) / "exe");
    proc("21", "javaw\0-jar\0/Y/Other.jar\0"s); // another user's: no readable link

    ProcProcessTable fake(clock, root);
    const auto all = fake.processes();
    ASSERT_TRUE(all);
    std::vector<long> pids;
    for (const auto& p : *all)
        pids.push_back(p.pid);
    EXPECT_EQ(pids, (std::vector<long>{9, 14, 15, 16, 17, 18, 19, 20, 21, 100}));
    const auto names = [&](long pid) { return findPid(*all, pid)->names; };
    EXPECT_EQ(names(100), std::vector<std::string>{"Zelmo"});
    EXPECT_EQ(names(9), std::vector<std::string>{"Thing"});
    EXPECT_EQ(names(14).front().size(), 16u * 1024u);
    EXPECT_EQ(names(15), std::vector<std::string>{"\xff\xfe\x01"});
    EXPECT_EQ(names(16), (std::vector<std::string>{"dash", "sh", "Run.sh"}));
    EXPECT_EQ(names(17), (std::vector<std::string>{"python3.11", "python3", "rel.py"}));
    EXPECT_EQ(names(18), (std::vector<std::string>{"dash", "sh"}));
    EXPECT_EQ(names(19), std::vector<std::string>{"less"}); // a viewer is not an interpreter

    const auto java = fake.javaCommandLines();
    ASSERT_TRUE(java);
    EXPECT_EQ(*java, (std::vector<std::string>{"java -jar /X/App.jar", "javaw -jar /Y/Other.jar"}));

    ProcProcessTable missing(clock, dir / "no-such-proc");
    EXPECT_FALSE(missing.processes());
    EXPECT_FALSE(missing.javaCommandLines());
    EXPECT_FALSE(missing.closeFirst("Zelmo"));
}

} // namespace
} // namespace kestrun
