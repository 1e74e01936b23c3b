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
    const auto pid = launcher.start((dir / "Apps" / "Tool").string(), R"(-a  "b c" x"y z")",
                                    dir / "Apps", false);
    ASSERT_TRUE(pid);
    EXPECT_GT(*pid, 0);
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
        const auto pid = besideHere.start(name, "300", work, false);
        ASSERT_EQ(pid.has_value(), c.runsIn.has_value());
        if (!pid)
            continue;
        const fs::path proc = "/proc/" + std::to_string(*pid);
        std::error_code ec;
        EXPECT_EQ(fs::read_symlink(proc / "cwd", ec), *c.runsIn);
        EXPECT_EQ(fs::read_symlink(proc / "exe", ec), *c.runsIn / name);
        ::kill(static_cast<pid_t>(*pid), SIGKILL);
    }
    // A bare ".jar" is any regular file, found the same way.
    test::writeFile(beside / "Tool.jar", "PK");
    ASSERT_TRUE(besideHere.start("Tool.jar", "-q", work, false));
    EXPECT_EQ(output("java"), (std::vector<std::string>{beside.string(), "-jar",
                                                        (beside / "Tool.jar").string(), "-q"}));
}

TEST_F(ProgramLauncherTest, FailuresAreReported) {
    test::writeScript(dir / "Apps" / "Tool", "exit 0\n");
    EXPECT_FALSE(launcher.start((dir / "Apps" / "Missing").string(), "", dir / "Apps", false));
    EXPECT_FALSE(launcher.start("no-such-tool-anywhere", "", {}, false));
    EXPECT_FALSE(launcher.start((dir / "Apps" / "Tool").string(), "", dir / "NoFolder", false));
    EXPECT_FALSE(launcher.start("", "", {}, false));
    EXPECT_FALSE(launcher.start((dir / "Apps" / "Tool").string() + std::string(1, '\0') + "x", "",
                                dir / "Apps", false));
    // Java would start for a missing archive and then fail: that is a failed start.
    EXPECT_FALSE(launcher.start((dir / "Apps" / "Gone.jar").string(), "", dir / "Apps", false));
    // Nothing opens other files on this PATH.
    test::ScopedEnv bare{"PATH", (dir / "empty").string()};
    test::writeFile(dir / "Docs" / "a.txt", "x");
    EXPECT_FALSE(launcher.start((dir / "Docs" / "a.txt").string(), "", dir / "Docs", false));
}

} // namespace
} // namespace kestrun
