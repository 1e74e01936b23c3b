#include "common/file_version.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using kestrun::FileVersion;

TEST(FileVersion, ComparesLeftmostFirstAndFormats) {
    const FileVersion a{{1, 2, 1, 3}};
    const FileVersion b{{1, 10, 0, 0}};
    EXPECT_LT(a, b);
    EXPECT_EQ(a, (FileVersion{{1, 2, 1, 3}}));
    EXPECT_EQ(a.text(), "1.2.1.3");
}

TEST(FileVersion, ReadsTheNoteOfOurExecutableAndNothingElse) {
    const auto v = kestrun::readFileVersion(kestrun::test::binDir() / "kestrun");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->text(), "1.2.1.3");
    EXPECT_FALSE(kestrun::readFileVersion("/bin/sh").has_value());
    kestrun::test::TempDir dir;
    kestrun::test::writeFile(dir / "garbage", std::string("\x7f"
                                                          "ELF\2\1",
                                                          6) +
                                                  std::string(100, '\xff'));
    EXPECT_FALSE(kestrun::readFileVersion(dir / "garbage").has_value());
    EXPECT_FALSE(kestrun::readFileVersion(dir / "missing").has_value());
}
