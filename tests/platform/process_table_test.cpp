#include "common/text.h"
#include "platform/process_table.h"
#include "tests/platform/process_test_support.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
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

// Only processes whose real uid is the viewer's count; root sees everyone's. The table is
// read as other users by a helper run through setpriv. nobody (65534) runs sleep under a
// borrowed name, and a copy of sleep that is setuid to 65533: that one's real uid is nobody's,
// its effective and saved uid 65533's, and it may be signalled by 65533.
TEST_F(ProcessTableTest, OnlyProcessesOfTheViewersRealUidCount) {
    if (::getuid() != 0)
        GTEST_SKIP() << "starting processes as other users needs root";
    constexpr unsigned kNobody = 65534;
    constexpr unsigned kOther = 65533; // a uid without processes of its own
    fs::permissions(dir.path(), fs::perms(0755));
    const fs::path setuidSleep = dir / test::uniqueName("suidsleep", dir.path());
    test::copyExecutable("/bin/sleep", setuidSleep);
    ASSERT_EQ(::chown(setuidSleep.c_str(), kOther, kOther), 0);
    fs::permissions(setuidSleep, fs::perms(04755));
    const std::string plainName = test::uniqueName("tool", dir.path()) + ".sh";
    const std::string setuidName = test::uniqueName("job", dir.path()) + ".sh";
    ChildProcess plain("/usr/bin/setpriv",
                       {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-c",
                        "exec -a " + plainName + " sleep 40"});
    ChildProcess setuid("/usr/bin/setpriv",
                        {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-c",
                         "exec -a " + setuidName + " " + setuidSleep.string() + " 40"});
    ASSERT_TRUE(test::waitUntil([&] {
        const auto all = table.processes();
        const ProcessInfo* a = all ? findPid(*all, plain.pid()) : nullptr;
        const ProcessInfo* b = all ? findPid(*all, setuid.pid()) : nullptr;
        return a && b && a->names.front() == "sleep" &&
               b->names.front() == setuidSleep.filename().string();
    }));

    // pid -> names, as the helper lists them for a user.
    const auto listedFor = [&](unsigned uid) {
        std::map<long, std::vector<std::string>> listed;
        std::istringstream lines(test::outputOf(
            test::asUser(uid, {(test::binDir() / "process_table_helper").string(), "list"})));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            long pid = 0;
            fields >> pid;
            for (std::string name; fields >> name;)
                listed[pid].push_back(name);
        }
        return listed;
    };
    const auto other = listedFor(kOther);
    EXPECT_FALSE(other.count(plain.pid()));
    EXPECT_FALSE(other.count(setuid.pid()));
    for (const auto& [pid, names] : other)
        for (const auto& name : names)
            EXPECT_TRUE(name != plainName && name != setuidName) << pid << " " << name;
    // The helper sees itself: the listing was read.
    EXPECT_TRUE(std::any_of(other.begin(), other.end(), [](const auto& p) {
        return p.second.front() == "process_table_helper";
    }));

    const auto nobody = listedFor(kNobody);
    ASSERT_TRUE(nobody.count(plain.pid()));
    EXPECT_EQ(nobody.at(plain.pid()), std::vector<std::string>{"sleep"});
    // Its executable link is closed to nobody: the name it was given stands.
    ASSERT_TRUE(nobody.count(setuid.pid()));
    EXPECT_EQ(nobody.at(setuid.pid()), std::vector<std::string>{setuidName});

    // 65533 may signal the setuid process but does not close it: it is not 65533's.
    const auto close = [&](unsigned uid, const std::string& name) {
        return test::outputOf(
            test::asUser(uid, {(test::binDir() / "process_table_helper").string(), "close", name}));
    };
    EXPECT_EQ(close(kOther, setuidName), "not closed\n");
    EXPECT_FALSE(setuid.tryWait());
    EXPECT_EQ(close(kNobody, setuidName), "closed\n");
    const auto status = setuid.tryWait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    EXPECT_FALSE(plain.tryWait());
}

// Whether a real process, started one way or another, is known by a script's name. Only the
// interpreter that the script's "#!" line names, running the script as its first file argument,
// is; viewers, other interpreters and a borrowed argv[0] are not.
TEST_F(ProcessTableTest, ScriptNamesOnlyForTheInterpreterTheScriptNames) {
    const auto realName = [](const char* program) {
        return fs::canonical(program).filename().string();
    };
    const std::string shell = realName("/bin/sh");
    ASSERT_NE(shell, realName("/bin/bash")) << "needs two different shells";
    const std::string loop = "while :; do sleep 1; done\n";
    const auto script = [&](const std::string& name, const std::string& firstLine,
                            const std::string& body) {
        test::writeFile(dir / name, firstLine + "\n" + body);
        fs::permissions(dir / name, fs::perms::owner_all, fs::perm_options::add);
        return name;
    };
    const std::string tag = test::uniqueName("", dir.path());
    const std::string job = script("job" + tag + ".sh", "#!/bin/sh", loop);
    const std::string other = script("other" + tag, "", loop); // no "#!" line: sh runs it anyway
    const std::string viaEnv = script("viaenv" + tag, "#!/usr/bin/env sh", loop);
    const std::string ownPath = script("ownpath" + tag, "#!/usr/bin/env -S myshell -e", loop);
    const std::string py =
        script("job" + tag + ".py", "#!/usr/bin/python3", "import time\ntime.sleep(300)\n");
    fs::create_directories(dir / "ibin");
    fs::create_symlink("/bin/sh", dir / "ibin" / "myshell");
    const std::string at = dir.path().string() + "/";
    const auto inFolder = [](const fs::path& folder) {
        test::SpawnOptions o;
        o.cwd = folder;
        return o;
    };
    const auto withPath = [](const std::string& path) {
        test::SpawnOptions o;
        o.path = path;
        return o;
    };
    const auto calledAs = [](const std::string& argv0) {
        test::SpawnOptions o;
        o.argv0 = argv0;
        return o;
    };

    struct Case {
        const char* how;
        std::string program;
        std::vector<std::string> args;
        test::SpawnOptions options;
        std::string runsAs; // the executable's name
        std::string script;
        bool known;
    };
    const std::vector<Case> cases = {
        {"started itself", at + job, {}, {}, shell, job, true},
        {"given to its interpreter", "/bin/sh", {at + job}, {}, shell, job, true},
        {"relative, after an option",
         "/bin/sh",
         {"-e", job},
         inFolder(dir.path()),
         shell,
         job,
         true},
        {"env sh, sh a link to the shell", at + viaEnv, {}, {}, shell, viaEnv, true},
        {"env NAME on the process's own PATH",
         at + ownPath,
         {},
         withPath(at + "ibin:/usr/bin:/bin"),
         shell,
         ownPath,
         true},
        {"python3, a link", at + py, {}, {}, realName("/usr/bin/python3"), py, true},
        {"tail -f", "/usr/bin/tail", {"-f", at + job}, {}, "tail", job, false},
        {"tail -f of an env script",
         "/usr/bin/tail",
         {"-f", at + viaEnv},
         {},
         "tail",
         viaEnv,
         false},
        {"another interpreter", "/bin/bash", {at + job}, {}, realName("/bin/bash"), job, false},
        {"second file argument", "/bin/sh", {at + other, at + job}, {}, shell, job, false},
        {"argv[0] a script's path",
         "/bin/sleep",
         {"300"},
         calledAs("/opt/x/" + job),
         "sleep",
         job,
         false},
        {"argv[0] a bare name", "/bin/sleep", {"300"}, calledAs(job), "sleep", job, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        ChildProcess child(c.program, c.args, c.options);
        std::vector<std::string> names;
        const auto settled = [&] {
            const auto all = table.processes();
            const ProcessInfo* p = all ? findPid(*all, child.pid()) : nullptr;
            names = p ? p->names : std::vector<std::string>{};
            return !names.empty() && (!c.known || names.size() > 1);
        };
        ASSERT_TRUE(test::waitUntil(settled));
        EXPECT_EQ(names.front(), c.runsAs);
        EXPECT_EQ(std::find(names.begin(), names.end(), c.script) != names.end(), c.known);
        EXPECT_LE(names.size(), 2u);
    }
}

// A process keeps its pid through an exec: the script it runs then is the new one, not the
// one it was first seen with.
TEST_F(ProcessTableTest, AShellThatExecsAnotherScriptIsKnownByTheNewOne) {
    const std::string tag = test::uniqueName("", dir.path());
    const std::string first = "first" + tag + ".sh";
    const std::string second = "second" + tag + ".sh";
    const fs::path go = dir / "go";
    test::writeScript(dir / second, "while :; do sleep 1; done\n");
    test::writeScript(dir / first, "while [ ! -e '" + go.string() + "' ]; do sleep 0.05; done\n" +
                                       "exec /bin/sh '" + (dir / second).string() + "'\n");
    ChildProcess child("/bin/sh", {(dir / first).string()});
    const auto known = [&](const std::string& script) {
        const auto all = table.processes();
        const ProcessInfo* p = all ? findPid(*all, child.pid()) : nullptr;
        return p && hasName(*p, script);
    };
    ASSERT_TRUE(test::waitUntil([&] { return known(first); }));
    test::writeFile(go, "");
    ASSERT_TRUE(test::waitUntil([&] { return known(second); }));
    EXPECT_FALSE(known(first));
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
// garbage command lines, a FIFO named as an interpreter's argument.
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
    // A link that cannot be read leaves argv[0] to name the process; no link at all means no
    // executable (a kernel thread, a zombie).
    const auto unreadableExe = [&](const fs::path& folder) {
        test::writeFile(folder / "exe", "not a link");
    };
    proc("12", "");                                       // kernel thread: no name
    fs::create_directories(root / "13");                  // vanished: nothing readable
    unreadableExe(proc("14", std::string(1 << 20, 'x'))); // endless argv[0] without NUL
    unreadableExe(proc("15", "\xff\xfe\x01\0\0\0"s));     // garbage
    proc("17", "/usr/bin/ghost\0"s);                      // no link: a command line alone
    fs::create_directories(dir / "scripts");
    // argv[0] chosen by the starter: the executable names the process.
    fs::create_symlink("/usr/bin/sleep", proc("16", "tool\0"s) / "exe");
    ASSERT_EQ(::mkfifo((dir / "scripts" / "pipe").c_str(), 0600), 0);
    fs::create_symlink("/usr/bin/dash",
                       proc("18", "sh\0"s + (dir / "scripts" / "pipe").string() + "\0"s) / "exe");
    test::writeFile(dir / "scripts" / "notes.txt", "#!/bin/sh\n");
    fs::create_symlink("/usr/bin/less",
                       proc("19", "less\0"s + (dir / "scripts" / "notes.txt").string() + "\0"s) /
                           "exe");
    fs::create_symlink("/usr/lib/jvm/bin/java", proc("20", "java\0-jar\0/X/App.jar\0"s) / "exe");
    unreadableExe(proc("21", "javaw\0-jar\0/Y/Other.jar\0"s)); // undumpable: no readable link

    ProcProcessTable fake(clock, root);
    const auto all = fake.processes();
    ASSERT_TRUE(all);
    std::vector<long> pids;
    for (const auto& p : *all)
        pids.push_back(p.pid);
    EXPECT_EQ(pids, (std::vector<long>{9, 14, 15, 16, 18, 19, 20, 21, 100}));
    const auto names = [&](long pid) { return findPid(*all, pid)->names; };
    EXPECT_EQ(names(100), std::vector<std::string>{"Zelmo"});
    EXPECT_EQ(names(9), std::vector<std::string>{"Thing"});
    EXPECT_EQ(names(14).front().size(), 16u * 1024u);
    EXPECT_EQ(names(15), std::vector<std::string>{"\xff\xfe\x01"});
    EXPECT_EQ(names(16), std::vector<std::string>{"sleep"});
    EXPECT_EQ(names(18), std::vector<std::string>{"dash"}); // a FIFO is not waited on
    EXPECT_EQ(names(19), std::vector<std::string>{"less"}); // a viewer is not an interpreter

    const auto java = fake.javaCommandLines();
    ASSERT_TRUE(java);
    EXPECT_EQ(*java, (std::vector<std::string>{"java -jar /X/App.jar", "javaw -jar /Y/Other.jar"}));

    // kthreadd's children are the kernel's threads and are passed over, but only when pid 2
    // is a kernel thread itself (in a container it is an ordinary process).
    fs::create_symlink("/usr/bin/worker", proc("30", "worker\0"s) / "exe");
    fs::create_directories(root / "2" / "task" / "2");
    test::writeFile(root / "2" / "task" / "2" / "children", "30 12 ");
    const auto listed30 = [&](const std::string& flags) {
        test::writeFile(root / "2" / "stat", "2 (kthreadd) S 0 0 0 0 -1 " + flags + " 0 0\n");
        const auto again = fake.processes();
        return again && findPid(*again, 30) != nullptr;
    };
    EXPECT_FALSE(listed30("2129984")); // PF_KTHREAD (0x200000) set
    EXPECT_TRUE(listed30("4194560"));

    ProcProcessTable missing(clock, dir / "no-such-proc");
    EXPECT_FALSE(missing.processes());
    EXPECT_FALSE(missing.javaCommandLines());
    EXPECT_FALSE(missing.closeFirst("Zelmo"));
}

} // namespace
} // namespace kestrun
