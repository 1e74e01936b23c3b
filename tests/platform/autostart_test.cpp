#include "platform/autostart.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using kestrun::AutostartEntry;
using kestrun::test::ScopedEnv;
using kestrun::test::TempDir;

TEST(AutostartEntry, PlacesFollowXdgConfigDirsThenTheUsersOwnFolder) {
    ScopedEnv config("XDG_CONFIG_HOME", "/home/u/.cfg");
    {
        ScopedEnv env("XDG_CONFIG_DIRS", "/etc/xdg/xdg-ubuntu:relative::/etc/xdg");
        EXPECT_EQ(AutostartEntry::defaultFile(),
                  (std::vector<fs::path>{"/etc/xdg/xdg-ubuntu/autostart/kestrun.desktop",
                                         "/etc/xdg/autostart/kestrun.desktop",
                                         "/home/u/.cfg/autostart/kestrun.desktop"}));
    }
    ScopedEnv unset("XDG_CONFIG_DIRS", std::nullopt);
    ScopedEnv home("HOME", "/home/v");
    ScopedEnv noConfig("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(AutostartEntry::defaultFile(),
              (std::vector<fs::path>{"/etc/xdg/autostart/kestrun.desktop",
                                     "/home/v/.config/autostart/kestrun.desktop"}));
}

// A user who may not write the machine's folder gets the entry in a folder of their own, and
// start-up finds it there.
TEST(AutostartEntry, WrittenWhereTheUserMayAndFoundInEither) {
    TempDir dir;
    const fs::path machine = dir / "etc-xdg/autostart/kestrun.desktop";
    const fs::path own = dir / "home/.config/autostart/kestrun.desktop";
    // A file where the machine's autostart folder should be: nothing can be written below it.
    kestrun::test::writeFile(dir / "etc-xdg/autostart", "not a folder");
    AutostartEntry entry(std::vector<fs::path>{machine, own});
    ASSERT_TRUE(entry.write("/home/u/kestrun/kestrun"));
    EXPECT_EQ(entry.file(), own);
    EXPECT_EQ(AutostartEntry(std::vector<fs::path>{machine, own}).programPath(),
              "/home/u/kestrun/kestrun");
    EXPECT_EQ(entry.workingFolder(), "/home/u/kestrun");
    // A program told to work on another folder names it; a relative one is no folder.
    ASSERT_TRUE(entry.write("/b/bin/kestrun", "/b/sample"));
    EXPECT_EQ(entry.workingFolder(), "/b/sample");
    // A line break would add lines of its own to the entry.
    EXPECT_FALSE(entry.write("/b/bin/kestrun", "/b/x\nExec=/tmp/evil"));
    EXPECT_EQ(entry.workingFolder(), "/b/sample");
    kestrun::test::writeFile(own, "[Desktop Entry]\nExec=/b/bin/kestrun\nPath=sample\n");
    EXPECT_EQ(entry.workingFolder(), "/b/bin");
    EXPECT_TRUE(entry.remove());
    EXPECT_FALSE(entry.exists());
}

TEST(AutostartEntry, ReadFromTheFirstFolderHoldingItWrittenToTheFirstDeletedFromAll) {
    TempDir dir;
    const fs::path first = dir / "xdg-desktop/autostart/kestrun.desktop";
    const fs::path second = dir / "xdg/autostart/kestrun.desktop";
    const fs::path own = dir / "home/.config/autostart/kestrun.desktop";
    AutostartEntry entry(std::vector<fs::path>{first, second, own});
    EXPECT_FALSE(entry.exists());
    EXPECT_FALSE(entry.programPath());
    EXPECT_FALSE(entry.remove());

    kestrun::test::writeFile(second, "[Desktop Entry]\nExec=/opt/second/kestrun\n");
    EXPECT_TRUE(entry.exists());
    EXPECT_EQ(entry.file(), second);
    EXPECT_EQ(entry.programPath(), "/opt/second/kestrun");

    ASSERT_TRUE(entry.write("/opt/Kest run/kestrun"));
    EXPECT_TRUE(fs::exists(first));
    EXPECT_EQ(entry.file(), first);
    EXPECT_EQ(entry.programPath(), "/opt/Kest run/kestrun");

    // The user's own entry comes before the machine's, as the desktop reads them; one the
    // desktop skips switches autostart off for this user.
    kestrun::test::writeFile(own, "[Desktop Entry]\nExec=/home/u/kestrun/kestrun\n");
    EXPECT_EQ(entry.file(), own);
    EXPECT_EQ(entry.programPath(), "/home/u/kestrun/kestrun");
    for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
        kestrun::test::writeFile(own, std::string("[Desktop Entry]\nExec=/opt/kestrun/kestrun\n") +
                                          off + "\n");
        EXPECT_FALSE(entry.exists()) << off;
        EXPECT_FALSE(entry.programPath()) << off;
    }

    EXPECT_TRUE(entry.remove());
    EXPECT_FALSE(fs::exists(first));
    EXPECT_FALSE(fs::exists(second));
    EXPECT_FALSE(fs::exists(own));
    EXPECT_FALSE(entry.exists());
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
