#include "kbm/marker.h"
#include "kbm/paths.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

std::set<std::string> queuedSources(const KbmSandbox& box) {
    std::set<std::string> sources;
    for (const std::string& line : readLines(box.work / kQueueFile))
        sources.insert(line.substr(0, line.find('\t')));
    return sources;
}

// New files between settled ones of the same folder, new folders between settled files, and a
// folder whose markers went between two runs: only what has no marker is queued, whatever
// order the walk meets the files in (ten folders, so some settled file follows a new one).
TEST(MarkerTest, OnlyFilesWithoutMarkersAreQueuedAmongSettledOnes) {
    KbmSandbox box;
    const auto folder = [](int k) { return "Data/f" + std::to_string(k) + "/"; };
    for (int k = 0; k < 10; ++k)
        for (int i = 0; i < 10; ++i)
            box.source(folder(k) + "old" + std::to_string(i) + ".txt");
    box.run_.include = {{(box.src / "Data").string(), 1, 0}};
    box.run();
    ASSERT_EQ(queuedSources(box).size(), 100u);

    std::set<std::string> expected;
    for (int k = 0; k < 10; ++k) {
        expected.insert(box.source(folder(k) + "new.txt"));
        expected.insert(box.source(folder(k) + "fresh/new.txt")); // no marker folder yet
    }
    // The markers of a whole folder removed: its files count as new again.
    fs::remove_all(
        fs::path(box.marker((box.src / native("Data/f3/old0.txt")).string())).parent_path());
    for (int i = 0; i < 10; ++i)
        expected.insert(
            (box.src / native(folder(3) + "old" + std::to_string(i) + ".txt")).string());
    box.run();
    EXPECT_EQ(queuedSources(box), expected);
    for (const std::string& file : expected)
        EXPECT_EQ(fs::file_size(box.marker(file)), 0u) << file; // settled by the copy
}

} // namespace
} // namespace kestrun::test
