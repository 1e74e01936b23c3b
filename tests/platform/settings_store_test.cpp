#include "platform/settings_store.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

using kestrun::IniSettingsStore;
using kestrun::test::TempDir;
using kestrun::test::writeFile;

TEST(IniSettingsStore, WritesNumbersAndTextsThatReadBackWithMode0600) {
    TempDir dir;
    const auto file = dir / "Tavisoft/Kestrun.conf";
    {
        IniSettingsStore store(file);
        EXPECT_FALSE(store.exists());
        store.writeNumber("Period", -1);
        store.writeNumber("Upull", 4294967295LL);
        store.writeText("Password", "a,b =;#\"x");
        store.writeText("Empty", "");
        ASSERT_TRUE(store.flush());
    }
    const auto perms = std::filesystem::status(file).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    IniSettingsStore store(file);
    EXPECT_TRUE(store.exists());
    EXPECT_EQ(store.readNumber("Period"), 4294967295u);
    EXPECT_EQ(store.readNumber("Upull"), 4294967295u);
    EXPECT_EQ(store.readText("Password"), "a,b =;#\"x");
    EXPECT_EQ(store.readText("Empty"), "");
    EXPECT_FALSE(store.readNumber("Missing"));
    EXPECT_FALSE(store.readText("Missing"));
}

TEST(IniSettingsStore, BadValuesAreMissing) {
    TempDir dir;
    const auto file = dir / "Kestrun.conf";
    writeFile(file, "[General]\nDelay=abc\nPort=70000000000\nPath=" + std::string(300, 'p') +
                        "\nHost=" + std::string(259, 'h') + "\nUser=" + std::string(260, 'u') +
                        "\n");
    IniSettingsStore store(file);
    EXPECT_FALSE(store.readNumber("Delay"));
    EXPECT_FALSE(store.readNumber("Port"));
    EXPECT_FALSE(store.readText("Path"));
    EXPECT_EQ(store.readText("Host")->size(), 259u);
    EXPECT_FALSE(store.readText("User"));
}

TEST(IniSettingsStore, DefaultFileFollowsXdgConfigHome) {
    kestrun::test::ScopedEnv env("XDG_CONFIG_HOME", "/some/where");
    EXPECT_EQ(IniSettingsStore::defaultFile(), "/some/where/Tavisoft/Kestrun.conf");
    kestrun::test::ScopedEnv unset("XDG_CONFIG_HOME", std::nullopt);
    kestrun::test::ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(IniSettingsStore::defaultFile(), "/home/u/.config/Tavisoft/Kestrun.conf");
}
