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
        for (const char* tool : {"java", "xdg-open", "bare-tool"})
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

TEST_F(ProgramLauncherTest, BareNameIsLookedUpOnPath) {
    ASSERT_TRUE(launcher.start("bare-tool", "x", dir.path(), false));
    EXPECT_EQ(output("bare-tool"), (std::vector<std::string>{dir.path().string(), "x"}));
}

TEST_F(ProgramLauncherTest, FailuresAreReported) {
    test::writeScript(dir / "Apps" / "Tool", "exit 0\n");
    EXPECT_FALSE(launcher.start((dir / "Apps" / "Missing").string(), "", dir / "Apps", false));
    EXPECT_FALSE(launcher.start("no-such-tool-anywhere", "", {}, false));
    EXPECT_FALSE(launcher.start((dir / "Apps" / "Tool").string(), "", dir / "NoFolder", false));
    EXPECT_FALSE(launcher.start("", "", {}, false));
    // Java would start for a missing archive and then fail: that is a failed start.
    EXPECT_FALSE(launcher.start((dir / "Apps" / "Gone.jar").string(), "", dir / "Apps", false));
    // Nothing opens other files on this PATH.
    test::ScopedEnv bare{"PATH", (dir / "empty").string()};
    test::writeFile(dir / "Docs" / "a.txt", "x");
    EXPECT_FALSE(launcher.start((dir / "Docs" / "a.txt").string(), "", dir / "Docs", false));
}

} // namespace
} // namespace kestrun
