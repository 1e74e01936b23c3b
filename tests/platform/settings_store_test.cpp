#include "platform/settings_store.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;
using kestrun::IniSettingsStore;
using kestrun::test::readFile;
using kestrun::test::ScopedEnv;
using kestrun::test::TempDir;
using kestrun::test::writeFile;

namespace {

std::size_t entriesIn(const fs::path& folder) {
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

} // namespace

TEST(IniSettingsStore, EveryWrittenTextReadsBackByteForByteFromAPrivateFile) {
    const std::string texts[] = {
        "a=b=c",
        ";not a comment",
        "#not a comment",
        "\"quoted\"",
        "it's \"so\"",
        "  both ends  ",
        "\t",
        "C:\\dir\\new",
        "trailing\\",
        "a,b , c",
        "\xc3\xa4\xff\x80",
        "line\nbreak",
        "cr\ronly",
        "\r\n",
        "@Text(looks like ours)",
        "@Text(a\\q)",
        "",
        "[General]",
    };
    TempDir dir;
    const auto file = dir / "Tavisoft/Kestrun.conf";
    {
        IniSettingsStore store(file);
        EXPECT_FALSE(store.exists());
        for (std::size_t i = 0; i < std::size(texts); ++i)
            store.writeText("Text" + std::to_string(i), texts[i]);
        store.writeNumber("Period", -1);
        store.writeNumber("Upull", 4294967295LL);
        ASSERT_TRUE(store.flush());
    }
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(entriesIn(file.parent_path()), 1u); // no temporary file is left
    const std::string written = readFile(file);
    EXPECT_EQ(written.rfind("[General]\n", 0), 0u);
    EXPECT_NE(written.find("\nPeriod=-1\n"), std::string::npos);

    IniSettingsStore store(file);
    EXPECT_TRUE(store.exists());
    for (std::size_t i = 0; i < std::size(texts); ++i)
        EXPECT_EQ(store.readText("Text" + std::to_string(i)), texts[i]) << i;
    EXPECT_EQ(store.readNumber("Period"), 4294967295u);
    EXPECT_EQ(store.readNumber("Upull"), 4294967295u);
    EXPECT_FALSE(store.readNumber("Missing"));
    EXPECT_FALSE(store.readText("Missing"));
}

TEST(IniSettingsStore, HandWrittenValuesReadAsWritten) {
    struct Case {
        const char* line;
        const char* key;
        std::string expected;
    };
    const Case cases[] = {
        {"Password=se;cr,et \"x\" #1", "Password", "se;cr,et \"x\" #1"},
        {"Path=\"/mnt/with quotes\"", "Path", "\"/mnt/with quotes\""},
        {"Host=  spaced  ", "Host", "  spaced  "},
        {"  User  =bob", "User", "bob"},
        {"uSeR=any case", "USER", "any case"},
        {"Path=C:\\new\\table", "Path", "C:\\new\\table"},
        {"Ufile=@Text(not\\qours)", "Ufile", "@Text(not\\qours)"},
        {"Uhost=@Text(unclosed", "Uhost", "@Text(unclosed"},
        {"Uhttp=", "Uhttp", ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        writeFile(dir / "Kestrun.conf", std::string("[General]\n") + c.line + "\n");
        EXPECT_EQ(IniSettingsStore(dir / "Kestrun.conf").readText(c.key), c.expected) << c.line;
    }
    // Numbers may carry blanks; keys before any section and in any case count as [General].
    writeFile(dir / "Kestrun.conf", "PORT = 2121 \n[General]\nperiod=\t7\n[Other]\nDelay=9\n");
    IniSettingsStore store(dir / "Kestrun.conf");
    EXPECT_EQ(store.readNumber("Port"), 2121u);
    EXPECT_EQ(store.readNumber("Period"), 7u);
    EXPECT_FALSE(store.readNumber("Delay"));
}

TEST(IniSettingsStore, AMalformedLineCostsOnlyItself) {
    const std::string badLines[] = {
        "no equals sign",
        "[General",
        "[Other",
        std::string("\x00\xff\x01 stray", 9),
        "=value without a key",
        "; Host=commented out",
        "\xef\xbb\xbfPeriod=99",
        "Host",
    };
    TempDir dir;
    for (const std::string& bad : badLines) {
        writeFile(dir / "Kestrun.conf", "[General]\nPeriod=3\n" + bad + "\nHost=h\rUser=u=v\r\n");
        IniSettingsStore store(dir / "Kestrun.conf");
        EXPECT_TRUE(store.exists());
        EXPECT_EQ(store.readNumber("Period"), 3u) << bad;
        EXPECT_EQ(store.readText("Host"), "h") << bad;
        EXPECT_EQ(store.readText("User"), "u=v") << bad;
    }
}

TEST(IniSettingsStore, BadValuesAreMissing) {
    TempDir dir;
    const auto file = dir / "Kestrun.conf";
    writeFile(file, "[General]\nDelay=abc\nPort=70000000000\nPath=" + std::string(300, 'p') +
                        "\nHost=" + std::string(259, 'h') + "\nUser=" + std::string(260, 'u') +
                        "\nUmode=1 2\n");
    IniSettingsStore store(file);
    EXPECT_FALSE(store.readNumber("Delay"));
    EXPECT_FALSE(store.readNumber("Port"));
    EXPECT_FALSE(store.readNumber("Umode"));
    EXPECT_FALSE(store.readText("Path"));
    EXPECT_EQ(store.readText("Host")->size(), 259u);
    EXPECT_FALSE(store.readText("User"));
}

TEST(IniSettingsStore, SavingKeepsTheRestOfTheFileAndALinkAndMakesItPrivate) {
    TempDir dir;
    const auto real = dir / "dotfiles/Kestrun.conf";
    writeFile(real, "; my settings\r\n[General]\r\nperiod=5\r\nOdd line\r\n[Other]\r\nX=1\r\n");
    fs::permissions(real,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    fs::perm_options::replace);
    fs::create_directories(dir / "config");
    fs::create_symlink(real, dir / "config/Kestrun.conf");

    IniSettingsStore store(dir / "config/Kestrun.conf");
    store.writeNumber("Period", 8);
    store.writeText("Host", "ftp.example");
    ASSERT_TRUE(store.flush());
    EXPECT_EQ(store.readNumber("Period"), 8u);
    EXPECT_TRUE(fs::is_symlink(dir / "config/Kestrun.conf"));
    EXPECT_EQ(readFile(real),
              "; my settings\n[General]\nPeriod=8\nHost=ftp.example\nOdd line\n[Other]\nX=1\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(IniSettingsStore, SomethingOtherThanAFileIsNeitherReadNorReplaced) {
    TempDir dir;
    fs::create_directories(dir / "folder.conf");
    ASSERT_EQ(mkfifo((dir / "fifo.conf").c_str(), 0600), 0);
    for (const fs::path& path : {dir / "folder.conf", dir / "fifo.conf", fs::path()}) {
        IniSettingsStore store(path);
        EXPECT_FALSE(store.exists()) << path;
        store.writeNumber("Period", 1);
        EXPECT_FALSE(store.flush()) << path;
    }
    EXPECT_TRUE(fs::is_fifo(dir / "fifo.conf"));
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}

TEST(IniSettingsStore, DefaultFileFollowsXdgConfigHomeThenTheUsersHome) {
    ScopedEnv env("XDG_CONFIG_HOME", "/some/where");
    EXPECT_EQ(IniSettingsStore::defaultFile(), "/some/where/Tavisoft/Kestrun.conf");
    ScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(IniSettingsStore::defaultFile(), "/home/u/.config/Tavisoft/Kestrun.conf");
    // Without both, the password database names the home folder; never a shared folder.
    ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv noHome("HOME", std::nullopt);
    const fs::path file = IniSettingsStore::defaultFile();
    ASSERT_FALSE(file.empty());
    EXPECT_NE(file.string().rfind("/tmp", 0), 0u);
    EXPECT_EQ(file, fs::path(getpwuid(getuid())->pw_dir) / ".config/Tavisoft/Kestrun.conf");
}
