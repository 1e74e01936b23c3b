#include "kbm/copy_phase.h"
#include "kbm/paths.h"
#include "kbm/retention.h"
#include "kbm/scan_phase.h"
#include "platform/path_rules.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using std::nullopt;

const bool kWindows = pathSeparator() == '\\';

// Paths as each system spells them: relative paths without the root ("/", a drive, a share),
// never leading out through "..", separators and letter case as the system compares them.
TEST(KbmPathTest, PathsFollowTheSystemsRules) {
    struct Case {
        const char* full;
        std::optional<std::string> posix, windows;
    };
    const Case relative[] = {
        {"/home/ann/a.txt", "home/ann/a.txt", "home\\ann\\a.txt"},
        {"//srv/x.txt", "srv/x.txt", "srv\\x.txt"},
        {"C:\\Kestrun\\data\\x.txt", "C:\\Kestrun\\data\\x.txt", "Kestrun\\data\\x.txt"},
        {"c:/Data/Reports/notes.txt", "c:/Data/Reports/notes.txt", "Data\\Reports\\notes.txt"},
        {"\\\\server\\share\\a.doc", "\\\\server\\share\\a.doc", "server\\share\\a.doc"},
        {"/a/../../etc/passwd", nullopt, nullopt},
        {"C:\\a\\..\\..\\b.txt", "C:\\a\\..\\..\\b.txt", nullopt},
        {"/", nullopt, nullopt},
        {"C:\\", "C:\\", nullopt},
    };
    for (const Case& c : relative)
        EXPECT_EQ(relativePath(c.full), kWindows ? c.windows : c.posix) << c.full;
    const Case trimmed[] = {{"/dest//", "/dest", "/dest"},
                            {"/", "/", "/"},
                            {"C:\\dest\\", "C:\\dest\\", "C:\\dest"},
                            {"C:\\", "C:\\", "C:\\"}};
    for (const Case& c : trimmed)
        EXPECT_EQ(withoutTrailingSeparators(c.full), kWindows ? c.windows : c.posix) << c.full;
    EXPECT_EQ(samePath("C:\\Data\\Tmp", "c:/data/TMP"), kWindows);
    EXPECT_EQ(withForwardSlashes("a\\b/c"), kWindows ? "a/b/c" : "a\\b/c");
}

struct NoProgress final : RunProgress {
    void setOverall(int) override {}
    void setTransfer(int) override {}
    void setStatus(const std::string&) override {}
    void pump() override {}
};

struct NoSender final : FileSender {
    bool send(const std::string&, const std::string&) override { return false; }
};

// A run into a folder with the system's paths: the copies land at the destination, a separator
// and the relative path, their markers settle, the log names only the copy that failed, an
// exclude spelled in other letter case than the folder leaves it in (on Windows too), and the
// set expires with a "Cleaning:" line in the same spelling.
TEST(KbmPathTest, RunIntoAFolderUsesTheSystemsPaths) {
    TempDir root;
    const std::string sep(1, pathSeparator());
    const std::string src = (root / "Src").string(), dest = (root / "dest").string();
    const auto source = [&](const std::string& rel) { return src + sep + rel; };
    writeFile(source("Data/a.txt"), "A");
    writeFile(source("Temp/t.txt"), "T");
    writeFile(source("full.txt"), "F");
    fs::create_directories(dest);
    TestClock clock(LocalDateTime::fromFields(2024, 1, 5, 9, 30, 0));
    BackupLog log(root.path(), clock);
    NoProgress progress;
    NoSender sender;
    const std::string markers = markerFolder(root / "data");
    const BackupList include{{src, 1, 0}, {source("full.txt"), 2, 1}, {source("gone.txt"), 1, 1}};
    ScanPhase(ScanPhase::Paths{root / kQueueFile, markers}, include, {{source("TEMP"), 0, 0}}, log,
              progress)
        .run();
    CopyPhase::Config config{root / kQueueFile, autodeleteFolder(root / "data"), true, dest,
                             markers};
    const LocalDateTime stamp = CopyPhase(config, clock, log, progress, sender).run();

    const std::string rel = *relativePath(source("Data" + sep + "a.txt"));
    EXPECT_EQ(readFile(dest + sep + rel), "A");
    EXPECT_EQ(fs::file_size(markers + rel), 0u);
    EXPECT_TRUE(fs::exists(dest + sep + *relativePath(source("Temp" + sep + "t.txt"))));
    const std::string set = dest + sep + "20240105-093000" + sep;
    const std::string full = set + *relativePath(source("full.txt"));
    EXPECT_EQ(readFile(full), "F");
    EXPECT_EQ(readFile(fs::path(autodeleteFolder(root / "data")) / "20240105-093000.txt"),
              full + "\r\n");
    removeExpiredSets(1, stamp.addDays(2), dest, autodeleteFolder(root / "data"), log);
    EXPECT_FALSE(fs::exists(full));
    std::vector<std::string> messages;
    for (const std::string& line : readLines(log.file()))
        messages.push_back(line.substr(line.find('\t') + 1));
    EXPECT_EQ(messages,
              (std::vector<std::string>{"Can not backup file: " + source("gone.txt") + " to " +
                                            dest + sep + *relativePath(source("gone.txt")),
                                        "Cleaning: " + set + " deleted."}));
}

} // namespace
} // namespace kestrun::test
