#include "kbm/settings.h"
#include "kestrun/core/settings.h"
#include "platform/settings_store.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using kestrun::IniSettingsStore;
using kestrun::Settings;
using kestrun::test::TempDir;
using kestrun::test::writeFile;

namespace {

// The defaults that name places of the system.
struct PlaceDefaults {
    const char* path;
    const char* ufile;
    const char* ufile2;
};
#ifdef _WIN32
constexpr PlaceDefaults kPlaces{"Z:", "C:\\Program Files\\Plenart\\ZLM_Server\\Zelmo_serv.exe",
                                "C:\\Program Files\\Plenart\\ZLM_Client\\Zelmo.exe?+"};
#else
constexpr PlaceDefaults kPlaces{"/mnt/backup", "/opt/Plenart/ZLM_Server/Zelmo_serv.exe",
                                "/opt/Plenart/ZLM_Client/Zelmo.exe?+"};
#endif

void expectDefaultsExceptPeriod(const Settings& s) {
    EXPECT_EQ(s.delay, 5);
    EXPECT_EQ(s.folder, 1);
    EXPECT_EQ(s.path, kPlaces.path);
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 21);
    EXPECT_EQ(s.user, "Anonymous");
    EXPECT_EQ(s.password, "");
    EXPECT_EQ(s.passive, 0);
    EXPECT_EQ(s.umode, 0);
    EXPECT_EQ(s.uhost, "127.0.0.1");
    EXPECT_EQ(s.uport, 10201);
    EXPECT_EQ(s.uhttp, "http://zelmo.plenart.example/Zelmov5");
    EXPECT_EQ(s.ufile, kPlaces.ufile);
    EXPECT_EQ(s.upull, 60u);
    EXPECT_EQ(s.upost, 60u);
    EXPECT_EQ(s.update, 1);
    EXPECT_EQ(s.promt, 1u);
    EXPECT_EQ(s.ufile2, kPlaces.ufile2);
    EXPECT_EQ(s.autodelete, 0);
}

} // namespace

TEST(Settings, NoFileGivesDefaultsAndSaveWritesAllTwentyValues) {
    TempDir dir;
    const auto file = dir / "Tavisoft/Kestrun.conf";
    IniSettingsStore store(file);
    Settings s;
    s.load(store);
    expectDefaultsExceptPeriod(s);
    EXPECT_EQ(s.period, 12);
    EXPECT_EQ(kestrun::readKbmSettings(store).destination, kPlaces.path) << "kbm's the same";
    ASSERT_TRUE(s.save(store));

    const std::string text = kestrun::test::readFile(file);
    for (const char* name :
         {"Delay",    "Period",  "Folder", "Path",  "Host",   "Port",      "User",
          "Password", "Passive", "Umode",  "Uhost", "Uport",  "Uhttp",     "Ufile",
          "Upull",    "Upost",   "Update", "Promt", "Ufile2", "Autodelete"})
        EXPECT_NE(text.find(std::string("\n") + name + "="), std::string::npos) << name;
    IniSettingsStore again(file);
    Settings loaded;
    loaded.period = 99;
    loaded.load(again);
    expectDefaultsExceptPeriod(loaded);
    EXPECT_EQ(loaded.period, 12);
}

TEST(Settings, StoredValuesOverrideOnlyTheirFieldsAndBadOnesKeepDefaults) {
    TempDir dir;
    const auto file = dir / "Kestrun.conf";
    writeFile(file, "[General]\nPeriod=0\n");
    Settings s;
    s.load(IniSettingsStore(file));
    EXPECT_EQ(s.period, 0);
    expectDefaultsExceptPeriod(s);

    writeFile(file, "[General]\nPath=/" + std::string(299, 'x') + "\nDelay=ten\nPort=2121\n" +
                        "Autodelete=4294967295\nPromt=0\n");
    Settings t;
    t.load(IniSettingsStore(file));
    EXPECT_EQ(t.path, kPlaces.path);
    EXPECT_EQ(t.delay, 5);
    EXPECT_EQ(t.port, 2121);
    EXPECT_EQ(t.autodelete, -1);
    EXPECT_EQ(t.promt, 0u);
}

TEST(Settings, StrayBytesCostOnlyTheirLines) {
    TempDir dir;
    const auto file = dir / "Kestrun.conf";
    writeFile(file, std::string("\x00\xff[[[General\n=\n\x01Period=3\nDelay=7\n", 33) +
                        "\xfe\xfe\nUser=bob\n");
    Settings s;
    s.load(IniSettingsStore(file));
    EXPECT_EQ(s.delay, 7);
    EXPECT_EQ(s.user, "bob");
    EXPECT_EQ(s.period, 12);
    EXPECT_EQ(s.host, "127.0.0.1");
}

TEST(Settings, UpdateClientStartsWithFastPollInMemoryOnly) {
    TempDir dir;
    const auto file = dir / "Kestrun.conf";
    writeFile(file, "[General]\nUmode=2\nUpull=300\nUpost=90\n");
    Settings s;
    {
        IniSettingsStore store(file);
        s.load(store);
    }
    EXPECT_EQ(s.upull, 10u);
    EXPECT_EQ(s.upost, 60u);
    EXPECT_EQ(IniSettingsStore(file).readNumber("Upull"), 300u);
    IniSettingsStore store(file);
    s.save(store);
    EXPECT_EQ(IniSettingsStore(file).readNumber("Upull"), 10u);
}

TEST(Settings, SavingUpdateAloneLeavesTheOtherValues) {
    TempDir dir;
    const auto file = dir / "Kestrun.conf";
    writeFile(file, "[General]\nPeriod=7\nUpdate=1\n");
    Settings s;
    s.period = 3;
    IniSettingsStore store(file);
    ASSERT_TRUE(s.saveUpdate(store, 0));
    EXPECT_EQ(s.update, 0);
    IniSettingsStore reread(file);
    EXPECT_EQ(reread.readNumber("Update"), 0u);
    EXPECT_EQ(reread.readNumber("Period"), 7u);
    EXPECT_FALSE(reread.readText("Host"));
}
