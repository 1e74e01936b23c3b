#include "common/text_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using kestrun::test::readFile;
using kestrun::test::TempDir;
using kestrun::test::writeFile;

TEST(TextFile, ReplaceKeepsPermissionsFollowsLinksAndSparesReadOnlyFiles) {
    TempDir dir;
    const auto target = dir / "real/progs.lst";
    writeFile(target, "old\r\n");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace);
    fs::create_symlink(target, dir / "progs.lst");

    ASSERT_TRUE(kestrun::replaceFile(dir / "progs.lst", "new\r\n"));
    EXPECT_TRUE(fs::is_symlink(dir / "progs.lst"));
    EXPECT_EQ(readFile(target), "new\r\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    fs::permissions(target, fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_FALSE(kestrun::replaceFile(target, "lost"));
    EXPECT_EQ(readFile(target), "new\r\n");
    EXPECT_FALSE(kestrun::replaceFile(dir / "missing-folder/x.lst", "x"));
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 1);
}

TEST(TextFile, ReadsLinesWithAnyLineEnd) {
    TempDir dir;
    writeFile(dir / "a.lst", "one\r\ntwo\r\r\nthree\n\nlast");
    EXPECT_EQ(kestrun::readTextLines(dir / "a.lst"),
              (std::vector<std::string>{"one", "two", "three", "", "last"}));
    EXPECT_FALSE(kestrun::readTextLines(dir / "none.lst"));
}
