#include "kbm/throttled_progress.h"
#include "tests/kbm/kbm_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrun::test {
namespace {

// A window that notes when it was given something to show.
class TimedWindow final : public RunProgress {
public:
    explicit TimedWindow(Clock& clock) : clock_(clock) {}
    void setOverall(int percent) override {
        noteUpdate();
        overall.push_back(percent);
    }
    void setTransfer(int percent) override {
        noteUpdate();
        transfer.push_back(percent);
    }
    void setStatus(const std::string& text) override {
        noteUpdate();
        status.push_back(text);
    }
    void pump() override { ++pumps; }

    std::vector<std::uint64_t> updatedAt; // one entry per moment of updates
    std::vector<int> overall, transfer;
    std::vector<std::string> status;
    int pumps = 0;

private:
    void noteUpdate() {
        const std::uint64_t now = clock_.monotonicMs();
        if (updatedAt.empty() || updatedAt.back() != now)
            updatedAt.push_back(now);
    }
    Clock& clock_;
};

TEST(ThrottledProgressTest, WindowGetsAtMostOneUpdateEveryFiftyMilliseconds) {
    TestClock clock(stampOf("2024-01-05 09:30:00"));
    TimedWindow window(clock);
    ThrottledProgress progress(window, clock);

    // 5000 blocks of a transfer, 3 ms apart; the shown value changes every fifth block.
    const std::uint64_t start = clock.monotonicMs();
    progress.setStatus("big.bin -> host");
    for (int block = 0; block < 5000; ++block) {
        clock.advance(std::chrono::milliseconds(3));
        progress.setTransfer(block / 5);
        progress.pump();
    }
    const std::uint64_t elapsed = clock.monotonicMs() - start;
    ASSERT_GE(window.updatedAt.size(), 2u);
    for (std::size_t i = 1; i < window.updatedAt.size(); ++i)
        EXPECT_GE(window.updatedAt[i] - window.updatedAt[i - 1], ThrottledProgress::kIntervalMs)
            << i;
    // It still follows the transfer: about one update per interval, each showing news, each
    // followed by one pump of the window.
    EXPECT_GE(window.updatedAt.size(), elapsed / 51);
    EXPECT_EQ(window.pumps, static_cast<int>(window.updatedAt.size()));
    EXPECT_EQ(window.transfer.size() + 1, window.updatedAt.size());
    EXPECT_TRUE(std::adjacent_find(window.transfer.begin(), window.transfer.end()) ==
                window.transfer.end());
    EXPECT_EQ(window.status, std::vector<std::string>{"big.bin -> host"});

    // The end is shown even when it came too soon after the last update.
    const std::size_t shown = window.transfer.size();
    clock.advance(std::chrono::milliseconds(ThrottledProgress::kIntervalMs));
    progress.setTransfer(100);
    progress.setTransfer(99);
    progress.setOverall(40);
    progress.pump();
    ASSERT_EQ(window.transfer.size(), shown + 1);
    EXPECT_EQ(window.transfer.back(), 100);
    clock.advance(std::chrono::milliseconds(1));
    progress.setStatus("next.bin -> host");
    progress.setTransfer(0);
    progress.pump();
    EXPECT_EQ(window.transfer.back(), 100);
    progress.flush();
    EXPECT_EQ(window.transfer.back(), 0);
    EXPECT_EQ(window.status.back(), "next.bin -> host");
    EXPECT_EQ(window.overall, std::vector<int>{40});

    // What the flush showed is painted at the next pump; then, with nothing new, nothing is
    // repainted however much time passes.
    progress.pump();
    const int pumps = window.pumps;
    clock.advance(std::chrono::seconds(5));
    progress.setTransfer(0);
    progress.setStatus("next.bin -> host");
    progress.pump();
    progress.flush();
    EXPECT_EQ(window.pumps, pumps);
    EXPECT_EQ(window.transfer.size(), shown + 2);
}

} // namespace
} // namespace kestrun::test
