#include "platform/autostart.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using kestrun::AutostartEntry;
using kestrun::test::TempDir;

TEST(AutostartEntry, WriteReadDeleteAndDefaultLocation) {
    TempDir dir;
    {
        kestrun::test::ScopedEnv env("XDG_CONFIG_DIRS",
                                     (dir.path() / "xdg").string() + ":/etc/xdg");
        EXPECT_EQ(AutostartEntry::defaultFile(), dir.path() / "xdg/autostart/kestrun.desktop");
    }
    AutostartEntry entry(dir.path() / "xdg/autostart/kestrun.desktop");
    EXPECT_FALSE(entry.exists());
    EXPECT_FALSE(entry.programPath());
    ASSERT_TRUE(entry.write("/opt/Kest run/kestrun"));
    EXPECT_TRUE(entry.exists());
    EXPECT_EQ(entry.programPath(), "/opt/Kest run/kestrun");
    EXPECT_TRUE(entry.remove());
    EXPECT_FALSE(entry.exists());
    EXPECT_FALSE(entry.remove());
}

TEST(AutostartEntry, EntryWithoutExecOrWithOverlongPathGivesNoPath) {
    TempDir dir;
    AutostartEntry entry(dir / "kestrun.desktop");
    kestrun::test::writeFile(entry.file(), "[Desktop Entry]\nName=Kestrun\n");
    EXPECT_TRUE(entry.exists());
    EXPECT_FALSE(entry.programPath());
    kestrun::test::writeFile(entry.file(), "Exec=/" + std::string(300, 'a') + "\n");
    EXPECT_FALSE(entry.programPath());
}
