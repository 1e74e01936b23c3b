#include "kbm/file_copy.h"
#include "kbm/retention.h"
#include "platform/path_rules.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// A destination folder with one autodelete list and its set folder.
struct RetentionBox : KbmSandbox {
    std::string setFolder(const std::string& name) const { return joinPath(dest.string(), name); }
    fs::path list(const std::string& name) const {
        return fs::path(autodeleteFolder(data)) / (name + ".txt");
    }
    std::string addCopy(const std::string& setName, const std::string& rel, bool listed = true) {
        const std::string copy = joinPath(setFolder(setName), native(rel));
        writeFile(copy, "copy");
        if (listed) {
            std::string content = fs::exists(list(setName)) ? readFile(list(setName)) : "";
            writeFile(list(setName), content + copy + "\r\n");
        }
        return copy;
    }
    void emptyList(const std::string& setName) { writeFile(list(setName), ""); }
    void clean(std::int32_t days, const char* when) {
        removeExpiredSets(days, stampOf(when), dest.string(), autodeleteFolder(data), log);
    }
};

TEST(RetentionTest, ListsExpireStrictlyAfterTheirDays) {
    RetentionBox box;
    const std::string copy = box.addCopy("20240101-120000", "home/a.txt");
    box.clean(3, "2024-01-04 12:00:00");
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_TRUE(fs::exists(box.list("20240101-120000")));
    EXPECT_TRUE(box.logMessages().empty());
    // The destination is away (a disk not mounted): the list waits for it.
    fs::rename(box.dest, box.root / "away");
    box.clean(3, "2024-01-04 12:00:01");
    fs::rename(box.root / "away", box.dest);
    EXPECT_TRUE(fs::exists(box.list("20240101-120000")));
    EXPECT_TRUE(box.logMessages().empty());

    box.clean(3, "2024-01-04 12:00:01");
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(box.list("20240101-120000")));
    EXPECT_FALSE(fs::exists(box.setFolder("20240101-120000")));
    EXPECT_THAT(box.logMessages(), ElementsAre("Cleaning: " + box.setFolder("20240101-120000") +
                                               native("/ deleted.")));
}

TEST(RetentionTest, ExpiredEmptyListStillCleansAnEmptySetFolder) {
    RetentionBox box;
    box.emptyList("20240101-120000");
    fs::create_directories(box.setFolder("20240101-120000") + native("/left/over"));
    box.clean(1, "2024-02-01 00:00:00");
    EXPECT_FALSE(fs::exists(box.setFolder("20240101-120000")));
    EXPECT_THAT(box.logMessages(), ElementsAre("Cleaning: " + box.setFolder("20240101-120000") +
                                               native("/ deleted.")));
}

TEST(RetentionTest, SetFolderWithAnyFileLeftStaysButALeftoverTemporaryFileDoesNot) {
    RetentionBox box;
    const std::string listed = box.addCopy("20240101-120000", "x/full.txt");
    const std::string smart = box.addCopy("20240101-120000", "x/smart.txt", false);
    // A Smart-backup copy without a dot anywhere in its path keeps its set folder too.
    box.addCopy("20240102-120000", "y/full.txt");
    const std::string makefile = box.addCopy("20240102-120000", "y/Makefile", false);
    // What an interrupted copy left behind is no file of the set.
    box.addCopy("20240103-120000", "z/full.txt");
    box.addCopy("20240103-120000", "z/" + copyTemporaryName("big.iso"), false);
    box.clean(3, "2024-02-01 00:00:00");
    EXPECT_FALSE(fs::exists(listed));
    EXPECT_TRUE(fs::exists(smart));
    EXPECT_EQ(readFile(makefile), "copy");
    EXPECT_FALSE(fs::exists(box.setFolder("20240103-120000")));
    EXPECT_EQ(box.logMessages().size(), 3u);
}

TEST(RetentionTest, UndeletableCopiesAreReportedAndTheListIsProcessedToTheEnd) {
    RetentionBox box;
    const std::string readOnly = box.addCopy("20240101-120000", "r/ro.txt");
    fs::permissions(readOnly, fs::perms::owner_read, fs::perm_options::replace);
    const std::string gone = box.addCopy("20240101-120000", "r/gone.txt");
    fs::remove(gone);
    const std::string fine = box.addCopy("20240101-120000", "r/fine.txt");
    box.clean(3, "2024-02-01 00:00:00");
    EXPECT_TRUE(fs::exists(readOnly));
    EXPECT_FALSE(fs::exists(fine));
    EXPECT_THAT(
        box.logMessages(),
        ElementsAre("Can not delete file: " + readOnly, "Can not delete file: " + gone,
                    "Cleaning: " + box.setFolder("20240101-120000") + native("/ deleted.")));
    EXPECT_TRUE(fs::exists(box.setFolder("20240101-120000")));
}

TEST(RetentionTest, ListsNeverReachFilesOutsideAFolderNamedByTheirStamp) {
    RetentionBox box;
    const std::string precious = box.source("home/precious.txt", "keep");
    const std::string other = box.source("home/20240102-120000/other.txt", "keep");
    const std::string listed = box.addCopy("20240101-120000", "a/full.txt");
    // Where the ".." entries lead: beside the set, in the destination.
    const fs::path beside = box.dest / native("x/precious.txt");
    writeFile(beside, "keep");
    const std::string set = box.setFolder("20240101-120000");
    const std::string escapes =
        set + native("/../x/precious.txt\r\n") + set + native("/a/../../x/precious.txt\r\n");
    writeFile(box.list("20240101-120000"),
              precious + "\r\n" + other + "\r\n" + escapes + readFile(box.list("20240101-120000")));
    // A list whose entries all escape.
    box.addCopy("20240101-130000", "b/full.txt", false);
    writeFile(box.list("20240101-130000"), escapes);
    box.clean(3, "2024-02-01 00:00:00");
    EXPECT_FALSE(fs::exists(listed));
    EXPECT_EQ(readFile(precious), "keep");
    EXPECT_EQ(readFile(other), "keep");
    EXPECT_EQ(readFile(beside), "keep");
    EXPECT_THAT(box.logMessages(), ::testing::IsSupersetOf({"Can not delete file: " + precious,
                                                            "Can not delete file: " + other}));
    // A list naming files it may not delete stays.
    EXPECT_TRUE(fs::exists(box.list("20240101-120000")));
    EXPECT_TRUE(fs::exists(box.list("20240101-130000")));
}

TEST(RetentionTest, SetsMadeUnderAnEarlierDestinationStillExpire) {
    RetentionBox box;
    // The run wrote its set below another destination; "Path" has changed since.
    const std::string oldSet = (box.root / "old-disk" / "20240101-120000").string();
    const std::string first = oldSet + native("/home/a.txt");
    const std::string second = oldSet + native("/home/deeper/b.txt");
    writeFile(first, "copy");
    writeFile(second, "copy");
    writeFile(box.list("20240101-120000"), first + "\r\n" + second + "\r\n");
    fs::create_directories(box.setFolder("20240101-120000"));
    const std::string unrelated = box.addCopy("20240101-120000", "own/kept.txt", false);
    box.clean(3, "2024-02-01 00:00:00");
    EXPECT_FALSE(fs::exists(oldSet));
    EXPECT_FALSE(fs::exists(box.list("20240101-120000")));
    // The line names the folder that was cleaned; the present destination's is left alone.
    EXPECT_THAT(box.logMessages(), ElementsAre("Cleaning: " + oldSet + native("/ deleted.")));
    EXPECT_TRUE(fs::exists(unrelated));
}

// However the destination is spelled (relative, through ".."), and whatever the folders
// around it are called, a run's expired set goes and the destination stays for later runs.
TEST(RetentionTest, ExpiredSetsGoWhateverTheDestinationIsCalled) {
    struct Case {
        const char* name;
        std::string spelled; // "Path" as stored
        fs::path folder;     // the folder it names
        std::string source = "r/full.txt";
    };
    const auto cases = [](const KbmSandbox& box) {
        const std::string stamp = "20240105-093000"; // the first run's
        return std::vector<Case>{
            {"through ..", (box.root / "x/../dest").string(), box.dest},
            {"relative", "dest", box.work / "dest"},
            {"relative through ..", "../dest", box.dest},
            {"named like the set", (box.root / stamp).string(), box.root / stamp},
            {"below a folder named like the set", (box.root / stamp / "disk").string(),
             box.root / stamp / "disk"},
            {"a source folder named like the set", box.dest.string(), box.dest,
             "r/" + stamp + "/full.txt"},
        };
    };
    for (std::size_t i = 0; i < cases(KbmSandbox()).size(); ++i) {
        KbmSandbox box;
        const Case c = cases(box)[i];
        SCOPED_TRACE(c.name);
        fs::create_directories(box.root / "x");
        fs::create_directories(c.folder);
        const std::string file = box.source(c.source);
        box.run_.include = {{file, 2, 1}};
        box.run_.settings.destination = c.spelled;
        box.run_.settings.retentionDays = 3;
        const LocalDateTime first = box.run();
        const fs::path set = c.folder / first.format(kSetStampFormat);
        ASSERT_TRUE(fs::exists(set / *relativePath(file)));

        box.run_.include.clear();
        box.clock.setNow(first.addDays(4));
        box.run();
        EXPECT_FALSE(fs::exists(set));
        EXPECT_FALSE(fs::exists(box.autodeleteList(first)));
        EXPECT_TRUE(fs::is_directory(c.folder));
        EXPECT_THAT(box.logMessages(),
                    ElementsAre("Cleaning: " + joinPath(c.spelled, first.format(kSetStampFormat)) +
                                native("/ deleted.")));
    }
}

// A list made under an earlier destination: its set is the last folder named by its stamp on
// a copy's path, and a destination named like that is never removed.
TEST(RetentionTest, SetOfAnEarlierDestinationIsTheLastFolderOfItsName) {
    RetentionBox box;
    const std::string stamp = "20240101-120000";
    const fs::path named = box.root / stamp;
    const std::string inOldSet = (named / stamp / "a/one.txt").string();
    writeFile(inOldSet, "copy");
    writeFile(box.list(stamp), inOldSet + "\r\n");
    box.clean(3, "2024-02-01 00:00:00");
    EXPECT_FALSE(fs::exists(named / stamp));
    EXPECT_TRUE(fs::is_directory(named));
    EXPECT_THAT(box.logMessages(),
                ElementsAre("Cleaning: " + (named / stamp).string() + native("/ deleted.")));

    // The list of a run whose "Path" was the folder above the present destination.
    const std::string direct = (named / "b/two.txt").string();
    writeFile(direct, "copy");
    writeFile(box.list(stamp), direct + "\r\n");
    removeExpiredSets(3, stampOf("2024-02-01 00:00:00"), named.string(), autodeleteFolder(box.data),
                      box.log);
    EXPECT_FALSE(fs::exists(direct));
    EXPECT_TRUE(fs::is_directory(named));
    EXPECT_FALSE(fs::exists(box.list(stamp)));
}

TEST(RetentionTest, ZeroOrNegativeDaysAndBadNamesDoNothing) {
    RetentionBox box;
    const std::string copy = box.addCopy("20240101-120000", "z/a.txt");
    writeFile(fs::path(autodeleteFolder(box.data)) / "20241399-990000.txt", copy + "\r\n");
    writeFile(fs::path(autodeleteFolder(box.data)) / "short.txt", copy + "\r\n");
    box.clean(0, "2030-01-01 00:00:00");
    box.clean(-5, "2030-01-01 00:00:00");
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_TRUE(box.logMessages().empty());
    // With real days, only the well-named list (still young here) could act.
    box.clean(3, "2024-01-02 00:00:00");
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_TRUE(box.logMessages().empty());
    EXPECT_FALSE(autodeleteListStamp("/x/20241399-990000.txt"));
    EXPECT_EQ(autodeleteListStamp("/x/20240229-235959.txt"), stampOf("2024-02-29 23:59:59"));
}

TEST(RetentionTest, RunCleansWithTheRunsStamp) {
    KbmSandbox box;
    const std::string file = box.source("r/full.txt");
    box.run_.include = {{file, 2, 1}};
    box.run_.settings.retentionDays = 3;
    const LocalDateTime first = box.run();
    // 3 days later to the second the set is kept, one second after it goes.
    box.clock.setNow(first.addDays(3));
    box.run();
    EXPECT_TRUE(fs::exists(box.setCopy(file, first)));
    box.clock.setNow(first.addDays(3).addSeconds(1));
    const LocalDateTime third = box.run();
    EXPECT_FALSE(fs::exists(box.dest / first.format(kSetStampFormat)));
    EXPECT_TRUE(fs::exists(box.setCopy(file, third)));
}

} // namespace
} // namespace kestrun::test
