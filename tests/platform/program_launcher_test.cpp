#include "platform/program_launcher.h"
#include "tests/platform/process_test_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

class ProgramLauncherTest : public ::testing::Test {
protected:
    ProgramLauncherTest() {
        // Stand-ins on PATH that write their working folder and arguments to a file.
        for (const char* tool : {"java", "xdg-open"})
            test::writeScript(dir / "bin" / tool, "pwd > '" + (dir / tool).string() +
                                                      ".out'\nprintf '%s\\n' \"$@\" >> '" +
                                                      (dir / tool).string() + ".out'\n");
    }

    // The lines a stand-in wrote, once it has written them.
    std::vector<std::string> output(const std::string& tool) {
        const fs::path file = dir / (tool + ".out");
        test::waitUntil([&] { return test::readLines(file).size() >= 2; });
        return test::readLines(file);
    }

    TempDir dir;
    test::FolderReaper reaper{dir.path()};
    test::ScopedEnv path{"PATH", (dir / "bin").string() + ":/usr/bin:/bin"};
    DetachedProgramLauncher launcher;
};

TEST_F(ProgramLauncherTest, ExecutableRunsInItsFolderWithItsWords) {
    test::writeScript(dir / "Apps" / "Tool",
                      "pwd > ../tool.out\nprintf '%s\\n' \"$@\" >> ../tool.out\n");
    fs::create_directories(dir / "work");
    const auto started = launcher.start((dir / "Apps" / "Tool").string(), R"(-a  "b c" x"y z")",
                                        dir / "Apps", false);
    ASSERT_TRUE(started);
    EXPECT_GT(*started.pid, 0);
    EXPECT_EQ(output("tool"),
              (std::vector<std::string>{(dir / "Apps").string(), "-a", "b c", "xy z"}));
}

TEST_F(ProgramLauncherTest, RelativePathIsTakenFromTheCurrentFolder) {
    test::writeScript(dir / "Apps" / "Tool", "pwd > ../tool.out\necho ran >> ../tool.out\n");
    test::ScopedCwd cwd(dir.path());
    ASSERT_TRUE(launcher.start("Apps/Tool", "", "Apps", true));
    EXPECT_EQ(output("tool"), (std::vector<std::string>{(dir / "Apps").string(), "ran"}));
}

TEST_F(ProgramLauncherTest, JarRunsThroughJava) {
    const std::string jar = (dir / "Apps" / "Server.JAR").string();
    test::writeFile(jar, "PK");
    ASSERT_TRUE(launcher.start(jar, "-port 5", dir / "Apps", false));
    EXPECT_EQ(output("java"),
              (std::vector<std::string>{(dir / "Apps").string(), "-jar", jar, "-port", "5"}));
}

TEST_F(ProgramLauncherTest, OtherFilesOpenThroughXdgOpen) {
    const std::string doc = (dir / "Docs" / "readme.txt").string();
    test::writeFile(doc, "text");
    ASSERT_TRUE(launcher.start(doc, "ignored", dir / "Docs", false));
    EXPECT_EQ(output("xdg-open"), (std::vector<std::string>{(dir / "Docs").string(), doc}));
}

// A bare name is looked up in the working folder, then beside the program, then on PATH, and
// runs in the folder it was found in.
TEST_F(ProgramLauncherTest, BareNameStartsWhereItIsFound) {
    const std::string name = test::uniqueName("bare", dir.path());
    const fs::path work = dir / "work", beside = dir / "beside", onPath = dir / "bin";
    DetachedProgramLauncher besideHere(beside);
    struct Case {
        std::vector<fs::path> holders;
        std::optional<fs::path> runsIn;
    };
    const std::vector<Case> cases = {
        {{work, beside, onPath}, work},
        {{beside, onPath}, beside},
        {{onPath}, onPath},
        {{}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holders.size());
        for (const fs::path& folder : {work, beside, onPath})
            fs::remove(folder / name);
        for (const fs::path& folder : c.holders)
            test::copyExecutable("/bin/sleep", folder / name);
        // Not executable: passed over.
        if (c.holders.size() == 2)
            test::writeFile(work / name, "data");
        const auto started = besideHere.start(name, "300", work, false);
        ASSERT_EQ(started.pid.has_value(), c.runsIn.has_value());
        if (!started)
            continue;
        const fs::path proc = "/proc/" + std::to_string(*started.pid);
        std::error_code ec;
        EXPECT_EQ(fs::read_symlink(proc / "cwd", ec), *c.runsIn);
        EXPECT_EQ(fs::read_symlink(proc / "exe", ec), *c.runsIn / name);
        ::kill(static_cast<pid_t>(*started.pid), SIGKILL);
    }
    // A bare ".jar" is any regular file, found the same way.
    test::writeFile(beside / "Tool.jar", "PK");
    ASSERT_TRUE(besideHere.start("Tool.jar", "-q", work, false));
    EXPECT_EQ(output("java"), (std::vector<std::string>{beside.string(), "-jar",
                                                        (beside / "Tool.jar").string(), "-q"}));
}

// Every failed start tells why.
TEST_F(ProgramLauncherTest, FailuresAreReportedWithTheirCause) {
    test::writeScript(dir / "Apps" / "Tool", "exit 0\n");
    test::writeFile(dir / "Apps" / "Bad", "#!/no/such/interpreter\n");
    fs::permissions(dir / "Apps" / "Bad", fs::perms::owner_all);
    test::writeFile(dir / "Docs" / "a.txt", "x");
    const std::string apps = (dir / "Apps").string();
    const struct {
        std::string path;
        fs::path folder;
        std::string reason;
    } cases[] = {
        {apps + "/Missing", dir / "Apps", "file not found"},
        {"no-such-tool-anywhere", {}, "not found in the working folder, beside Kestrun or on PATH"},
        {apps + "/Tool", dir / "NoFolder",
         "working folder not found: " + (dir / "NoFolder").string()},
        {"", {}, "empty path"},
        {apps + "/Tool" + std::string(1, '\0') + "x", dir / "Apps",
         "a NUL byte in the path or the parameters"},
        // Java would start for a missing archive and then fail: that is a failed start.
        {apps + "/Gone.jar", dir / "Apps", "file not found"},
        {apps + "/Bad", dir / "Apps", "exec failed: No such file or directory"},
        // Nothing opens other files on this PATH.
        {(dir / "Docs" / "a.txt").string(), dir / "Docs",
         "not executable, and xdg-open could not be run: No such file or directory"},
    };
    test::ScopedEnv bare{"PATH", (dir / "empty").string()};
    for (const auto& c : cases) {
        const auto result = launcher.start(c.path, "", c.folder, false);
        EXPECT_FALSE(result.pid) << c.path;
        EXPECT_EQ(result.reason, c.reason) << c.path;
    }
}

// A started program's exit is known once it has ended, and told once.
TEST_F(ProgramLauncherTest, ExitOfAStartedProgram) {
    test::writeScript(dir / "Apps" / "Three", "exit 3\n");
    test::writeScript(dir / "Apps" / "Killed", "kill -9 $$\n");
    const struct {
        const char* name;
        ProgramExit exit;
    } cases[] = {{"Three", {false, 3}}, {"Killed", {true, 9}}};
    for (const auto& c : cases) {
        const auto started = launcher.start((dir / "Apps" / c.name).string(), "", {}, false);
        ASSERT_TRUE(started) << c.name;
        std::optional<ProgramExit> exit;
        ASSERT_TRUE(test::waitUntil([&] {
            return (exit = launcher.exitOf(*started.pid)).has_value();
        })) << c.name;
        EXPECT_EQ(exit->signalled, c.exit.signalled) << c.name;
        EXPECT_EQ(exit->code, c.exit.code) << c.name;
        EXPECT_FALSE(launcher.exitOf(*started.pid)) << c.name;
        // Collected: no zombie is left.
        EXPECT_FALSE(fs::exists("/proc/" + std::to_string(*started.pid))) << c.name;
    }
    EXPECT_FALSE(launcher.exitOf(::getpid()));
}

} // namespace
} // namespace kestrun
