#include "kestrun/supervisor/program_list.h"
#include "kestrun/supervisor/program_monitor.h"
#include "platform/path_rules.h"
#include "tests/support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

ProgramList loadFrom(const TempDir& dir, const std::string& content) {
    test::writeFile(dir / "progs.lst", content);
    return loadProgramList(dir.path());
}

TEST(ProgramListTest, ReadsTheLinesOfTheFormat) {
    TempDir dir;
    const auto list = loadFrom(dir, "/opt/apps/tool?n\t2,127,30\r\n"
                                    " /opt/apps/tool?n\t2,127,30\r\n"
                                    "/opt/apps/tool?n\r\n"
                                    "/opt/apps/tool?m\t1,31,36000\r\n"
                                    "/opt/x?n\t3,5,7\r\n");
    ASSERT_EQ(list.size(), 5u);

    ProgramEntry periodic;
    periodic.text = "/opt/apps/tool?n";
    periodic.mode = ProgramMode::Periodic;
    periodic.weekdays = 127;
    periodic.period = 30;
    EXPECT_EQ(list[0], periodic);
    EXPECT_EQ(list[0].lastStart, LocalDateTime::fromFields(2019, 1, 1, 0, 0, 0));
    EXPECT_TRUE(list[0].lastStart.valid());
    EXPECT_FALSE(list[0].running);
    EXPECT_EQ(list[0].missCount, 0);

    periodic.disabled = true;
    EXPECT_EQ(list[1], periodic);

    EXPECT_EQ(list[2].text, "/opt/apps/tool?n");
    EXPECT_EQ(list[2].mode, ProgramMode::Always);
    EXPECT_EQ(list[2].weekdays, 0);
    EXPECT_FALSE(list[2].disabled);

    EXPECT_EQ(list[3].mode, ProgramMode::Daily);
    EXPECT_EQ(list[3].weekdays, 31);
    EXPECT_EQ(list[3].dailyTime, 36000);

    // Mode 3 is no mode: an always entry, written back as 0,0,0.
    EXPECT_EQ(list[4].mode, ProgramMode::Always);
    EXPECT_EQ(list[4].text, "/opt/x?n");
    ASSERT_TRUE(saveProgramList(list, dir.path()));
    EXPECT_EQ(test::readFile(dir / "progs.lst"), "/opt/apps/tool?n\t2,127,30\r\n"
                                                 " /opt/apps/tool?n\t2,127,30\r\n"
                                                 "/opt/apps/tool?n\t0,0,0\r\n"
                                                 "/opt/apps/tool?m\t1,31,36000\r\n"
                                                 "/opt/x?n\t0,0,0\r\n");
}

TEST(ProgramListTest, LineEndsAndMalformedLines) {
    TempDir dir;
    const auto list = loadFrom(dir, "/a?n\t1,3,600\r\r\n"
                                    "\r\n"
                                    "\n"
                                    "/b?n\t2,1,5\n"
                                    "/c?n\r\r\n"
                                    "/d?n\t2\r\n"
                                    "/e?n\t2,9\r\n"
                                    "/f?n\t1,  +7x,  -60 \r\n"
                                    "/g?n\t2,1,-1\r\n"
                                    "/h?n\r");
    ASSERT_EQ(list.size(), 8u);
    EXPECT_EQ(list[0].text, "/a?n");
    EXPECT_EQ(list[0].dailyTime, 600);
    EXPECT_EQ(list[1].text, "/b?n");
    EXPECT_EQ(list[1].period, 5u);
    EXPECT_EQ(list[0].mode, ProgramMode::Daily); // the CR left before the LF is not read
    EXPECT_EQ(list[2].text, "/c?n\r");           // only CR LF or LF ends a line
    for (int i : {3, 4}) {                       // commas missing: always, the text before the tab
        EXPECT_EQ(list[i].mode, ProgramMode::Always);
        EXPECT_EQ(list[i].weekdays, 0);
    }
    EXPECT_EQ(list[3].text, "/d?n");
    EXPECT_EQ(list[5].weekdays, 7); // numbers read as atoi reads them
    EXPECT_EQ(list[5].dailyTime, -60);
    EXPECT_EQ(list[6].period, 4294967295u);
    EXPECT_EQ(list[7].text, "/h?n\r"); // last line without a line end
}

TEST(ProgramListTest, WellFormedFileRoundTripsByteForByte) {
    TempDir dir;
    const std::string content = "/opt/apps/Tool?m-q -x\t1,31,36000\r\n"
                                " /opt/apps/tool?n\t2,127,30\r\n"
                                "tool?n\t0,0,0\r\n"
                                "/opt/Server.jar?n-port 80\t0,0,0\r\n"
                                "/opt/big?n\t2,64,-1\r\n"
                                " /opt/off?m\t1,0,0\r\n"
                                "/opt/Old\rApps/run?n-a\r\t0,0,0\r\n";
    const auto list = loadFrom(dir, content + "\r\n\n");
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list[4].period, 4294967295u);
    EXPECT_EQ(list[6].text, "/opt/Old\rApps/run?n-a\r");
    ASSERT_TRUE(saveProgramList(list, dir.path()));
    EXPECT_EQ(test::readFile(dir / "progs.lst"), content);
    EXPECT_EQ(loadProgramList(dir.path()), list);

    ProgramEntry big;
    big.text = "/x?n";
    big.mode = ProgramMode::Periodic;
    big.weekdays = 127;
    big.period = 4294967295u;
    EXPECT_EQ(formatProgramLine(big), "/x?n\t2,127,-1\r\n");
    big.text = "/x\ty\nz?n";
    EXPECT_EQ(formatProgramLine(big), "/x y z?n\t2,127,-1\r\n");
}

// Whatever the file holds, every non-empty line becomes one entry, nothing crashes, and what
// was loaded is saved and loaded again unchanged.
TEST(ProgramListTest, GarbageAndHugeLinesLoseNothing) {
    TempDir dir;
    std::string content;
    content += std::string(3 << 20, 'p') + "?n\t2,127,30\r\n"; // a 3 MB line
    content += std::string("\0\x01\xff\t\t,,,\r\n", 10);
    content += ",,,,\r\n";
    content += "\t\r\n";
    content += " \r\n";
    content += "/x?n\t99999999999999999999,1,1\r\n";
    content += "/y?n\t1,1,99999999999999999999\r\n";
    for (int i = 0; i < 256; ++i)
        content += std::string(1, static_cast<char>(i == '\n' || i == '\r' ? 'a' : i)) + "\r\n";
    const auto list = loadFrom(dir, content);
    ASSERT_EQ(list.size(), 7u + 256u);
    EXPECT_EQ(list[0].text.size(), (3u << 20) + 2u);
    EXPECT_EQ(list[1].text, std::string("\0\x01\xff", 3));
    EXPECT_EQ(list[3].text, "");
    EXPECT_TRUE(list[4].disabled);
    EXPECT_EQ(list[6].dailyTime, 2147483647);

    ASSERT_TRUE(saveProgramList(list, dir.path()));
    const auto again = loadProgramList(dir.path());
    ASSERT_EQ(again.size(), list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(again[i].text, list[i].text) << i;
        EXPECT_EQ(again[i].disabled, list[i].disabled) << i;
        EXPECT_EQ(again[i].mode, list[i].mode) << i;
    }
}

TEST(ProgramListTest, MissingFileAndFailedSave) {
    TempDir dir;
    EXPECT_TRUE(loadProgramList(dir.path()).empty());
    EXPECT_TRUE(loadProgramList(dir / "missing").empty());

    ProgramList list(1);
    list[0].text = "/new?n";
    EXPECT_FALSE(saveProgramList(list, dir / "missing"));

    // A folder that cannot be written keeps the old list whole.
    test::writeFile(dir / "progs.lst", "/old?n\t0,0,0\r\n");
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    // Root may write anyway, and a Windows folder has no write bit: a probe file tells.
    const bool writable = std::ofstream(dir / "probe").is_open();
    fs::remove(dir / "probe");
    if (!writable) {
        EXPECT_FALSE(saveProgramList(list, dir.path()));
        EXPECT_EQ(test::readFile(dir / "progs.lst"), "/old?n\t0,0,0\r\n");
    }
    fs::permissions(dir.path(), fs::perms::owner_all);
    ASSERT_TRUE(saveProgramList(list, dir.path()));
    EXPECT_EQ(test::readFile(dir / "progs.lst"), "/new?n\t0,0,0\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(ProgramListTest, SplitsTheTextAtItsMarker) {
    const auto plain = splitProgramText("/Opt/Apps/Tool?n-q");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->path, "/Opt/Apps/Tool");
    EXPECT_EQ(plain->lowerPath, "/opt/apps/tool");
    EXPECT_EQ(plain->fileName, "tool");
    EXPECT_EQ(plain->folder, "/Opt/Apps");
    EXPECT_EQ(plain->parameters, "-q");
    EXPECT_FALSE(plain->minimised);

    // "?m" wins wherever it stands.
    const auto inner = splitProgramText("/Opt/Apps/Tool?n-a?mb");
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->lowerPath, "/opt/apps/tool?n-a");
    EXPECT_EQ(inner->fileName, "tool?n-a");
    EXPECT_EQ(inner->parameters, "b");
    EXPECT_TRUE(inner->minimised);

    const auto bare = splitProgramText("Tool?m");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->fileName, "tool");
    EXPECT_EQ(bare->folder, "");
    EXPECT_EQ(splitProgramText("/tool?n")->folder, "/");

    EXPECT_FALSE(splitProgramText("/opt/apps/tool"));
    EXPECT_FALSE(splitProgramText("/opt/apps/tool?x"));

    // Windows separates at "\" and "/", and a drive or a share begins a root.
    const bool windows = executableSuffix() == ".exe";
    struct Case {
        const char* text;
        const char* fileName;
        const char* folder;
        bool absolute;
    };
    const std::vector<Case> cases =
        windows ? std::vector<Case>{{"C:\\Apps\\Tool.EXE?n", "tool.exe", "C:\\Apps", true},
                                    {"C:/Apps/Tool.exe?n", "tool.exe", "C:/Apps", true},
                                    {"C:\\Tool.exe?n", "tool.exe", "C:\\", true},
                                    {"C:Tool.exe?n", "tool.exe", "C:", false},
                                    {"\\\\srv\\share\\t.exe?n", "t.exe", "\\\\srv\\share\\", true},
                                    {"Apps\\t.exe?n", "t.exe", "Apps", false}}
                : std::vector<Case>{{"C:\\Apps\\Tool.exe?n", "c:\\apps\\tool.exe", "", false},
                                    {"/opt/Tool?n", "tool", "/opt", true},
                                    {"opt/Tool?n", "tool", "opt", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto command = splitProgramText(c.text);
        ASSERT_TRUE(command);
        EXPECT_EQ(command->fileName, c.fileName);
        EXPECT_EQ(command->folder, c.folder);
        EXPECT_EQ(isAbsolutePath(command->path), c.absolute);
    }
}

// A process table and a launcher that only record, for the check's recognition of a program.
class ListedProcesses final : public ProcessTable {
public:
    std::optional<std::vector<ProcessInfo>> processes() override { return table; }
    bool closeFirst(std::string_view) override { return false; }
    std::vector<ProcessInfo> table;
};

class RecordingStarts final : public ProgramLauncher, public MonitorHost {
public:
    StartResult start(const std::string& path, const std::string&, const fs::path& in,
                      bool) override {
        starts.push_back(path + " in " + in.string());
        return std::int64_t{1} << 30;
    }
    void log(std::string_view) override {}
    void setStatusLine(int, const std::string&) override {}
    const fs::path& workingFolder() const override { return folder; }
    fs::path folder = "work";
    std::vector<std::string> starts;
};

TEST(ProgramListTest, TheCheckKnowsARunningProgramByItsFileName) {
    const bool windows = executableSuffix() == ".exe";
    struct Case {
        const char* entry;
        const char* process;
        const char* started; // empty: recognised as running
    };
    const std::vector<Case> cases =
        windows
            ? std::vector<Case>{{"C:\\Apps\\Tool.exe?n", "TOOL.EXE", ""},
                                {"C:/Apps/tool.exe?m-q", "Tool.exe", ""},
                                {"c:\\apps\\Tool.exe?n", "other.exe",
                                 "c:\\apps\\Tool.exe in c:\\apps"},
                                {"C:\\Tool.exe?n", "sleeper.exe", "C:\\Tool.exe in C:\\"}}
            : std::vector<Case>{{"/opt/apps/Tool?n", "tool", ""},
                                {"C:\\Apps\\Tool.exe?n", "Tool.exe", "C:\\Apps\\Tool.exe in work"},
                                {"/Tool?n", "other", "/Tool in /"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        ListedProcesses processes;
        processes.table.push_back(ProcessInfo{4242, {c.process}, std::nullopt, std::nullopt});
        RecordingStarts starts;
        TestClock clock(LocalDateTime::fromFields(2026, 12, 9, 10, 0, 0));
        std::atomic<std::int32_t> busy{0};
        ProgramList list(1);
        list[0].text = c.entry;
        ProgramMonitor monitor(list, busy, starts, clock, processes, starts);
        monitor.check();
        monitor.check();
        const std::vector<std::string> expected =
            *c.started ? std::vector<std::string>(2, c.started) : std::vector<std::string>{};
        EXPECT_EQ(starts.starts, expected);
    }
}

} // namespace
} // namespace kestrun
