// The companions' copy where the system lets a test take room away from the process: the file
// size limit and its signal.
#include "release/companion_copy.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

// The new content never goes through the installed file's inode: a second name of the old
// file keeps the old content, and a write that runs out of room leaves the installed program
// whole and no temporary file beside it.
TEST(CompanionCopy, ReplacesByRenameAndLeavesTheOldFileWholeOnAShortWrite) {
    TempDir dir;
    const std::string oldProgram(1000, 'o');
    const std::string newProgram(200000, 'n');
    writeFile(dir / "new", newProgram);
    writeFile(dir / "kbm", oldProgram);
    fs::create_hard_link(dir / "kbm", dir / "second-name");

    ASSERT_TRUE(copyProgramInPlace(dir / "new", dir / "kbm"));
    EXPECT_TRUE(readFile(dir / "kbm") == newProgram);
    EXPECT_TRUE(readFile(dir / "second-name") == oldProgram) << "written through the old inode";

    writeFile(dir / "kbm", oldProgram);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100000; // room for part of the new program only
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool copied = copyProgramInPlace(dir / "new", dir / "kbm");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(copied);
    EXPECT_TRUE(readFile(dir / "kbm") == oldProgram) << "the installed program was cut short";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kbm", "new", "second-name"}));
}

} // namespace
} // namespace kestrun::test
