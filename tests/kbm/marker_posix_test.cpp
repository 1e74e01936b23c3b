#include "kbm/marker.h"
#include "kbm/paths.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <functional>

// The markers' cases that need POSIX: a folder the writer holds open removed from under it
// (Windows removes it only once the writer lets go), links, and a full disk made by the file
// size limit.

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

// A link inside the marker tree is never followed when a marker is made or settled: the
// marker's folders and the marker take its place, and what it leads to stays as it was.
TEST(MarkerTest, LinksInTheMarkerTreeAreNeverFollowed) {
    const char* const links[] = {"home", "home/docs", "home/docs/a.txt"};
    for (const std::string link : links) {
        SCOPED_TRACE(link);
        TempDir dir;
        const std::string root = (dir / "tmp").string() + "/";
        const fs::path outside = dir / "outside";
        writeFile(outside / "a.txt", "mine");
        const std::string before = treeSnapshot(outside);
        fs::create_directories(fs::path(root + link).parent_path());
        fs::create_symlink(link.ends_with(".txt") ? outside / "a.txt" : outside, root + link);
        const std::string marker = root + "home/docs/a.txt";
        MarkerWriter writer(root);
        ASSERT_TRUE(writer.queue(marker, writer.state(marker), true));
        settleMarker(marker);
        EXPECT_EQ(treeSnapshot(outside), before);
        EXPECT_FALSE(fs::is_symlink(root + link));
        EXPECT_EQ(fs::file_size(marker), 0u);
    }
}

// Runs the action as on a full disk: no file may grow.
void onAFullDisk(const std::function<void()>& action) {
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    action();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
}

// Only an empty marker records a finished copy: one queued by a scan (pending), one left by a
// run that was cut off and one kept pending after a torn copy all send their file again, and
// only the cut-off run's counts as unfinished. Markers that earlier runs wrote as "q" and "qq"
// read the same; a marker that cannot be made pending goes, never reads as settled.
TEST(MarkerTest, OnlyAnEmptyMarkerRecordsAFinishedCopy) {
    TempDir root;
    const std::string marker = (root.path() / "home" / "m.txt").string();
    MarkerWriter writer;
    ASSERT_TRUE(writer.queue(marker, writer.state(marker), true));
    struct Step {
        const char* name;
        std::function<void()> act;
        bool present, settled, unfinished;
    };
    const auto queue = [&] {
        MarkerWriter again;
        EXPECT_FALSE(again.queue(marker, again.state(marker), true));
    };
    const std::vector<Step> steps{
        {"queued", [] {}, true, false, true},
        {"copied", [&] { settleMarker(marker); }, true, true, false},
        {"torn", [&] { keepMarkerPending(marker); }, true, false, false},
        {"queued by an earlier run", [&] { writeFile(marker, "q"); }, true, false, true},
        {"torn in an earlier run", [&] { writeFile(marker, "qq"); }, true, false, false},
        {"copied again", [&] { settleMarker(marker); }, true, true, false},
        {"torn, the disk full", [&] { onAFullDisk([&] { keepMarkerPending(marker); }); }, false,
         false, false},
        {"queued, the disk full", [&] { onAFullDisk(queue); }, false, false, false},
        {"a folder in its place", [&] { fs::remove(marker), fs::create_directory(marker); }, true,
         false, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        const MarkerState state = MarkerWriter().state(marker);
        EXPECT_EQ(state.present, step.present);
        EXPECT_EQ(state.settledTime.has_value(), step.settled);
        EXPECT_EQ(state.unfinished, step.unfinished);
    }
}

// The marker folder of the files being queued is removed between two of them: the second
// marker still gets its folder, private, and is pending.
TEST(MarkerTest, FolderRemovedBetweenTwoMarkersIsMadeAgain) {
    for (const bool folderExisted : {false, true}) {
        SCOPED_TRACE(folderExisted ? "folder there before" : "folder made by the writer");
        TempDir root;
        const fs::path folder = root.path() / "tmp" / "home" / "docs";
        if (folderExisted)
            fs::create_directories(folder);
        MarkerWriter writer;
        const std::string first = (folder / "a.txt").string();
        ASSERT_TRUE(writer.queue(first, writer.state(first), true));
        EXPECT_EQ(fs::file_size(first), 1u);

        fs::remove_all(root.path() / "tmp" / "home");
        const std::string second = (folder / "b.txt").string();
        const MarkerState state = writer.state(second);
        EXPECT_FALSE(state.present);
        ASSERT_TRUE(writer.queue(second, state, true));
        EXPECT_EQ(fs::file_size(second), 1u);
        EXPECT_EQ(modeOf(folder) & 0777, 0700u);
    }
}

} // namespace
} // namespace kestrun::test
