// The instance channel's named pipe, against the real calls (under Wine here).

#include "platform/instance_channel.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <future>

using kestrun::InstanceChannel;
using kestrun::test::processEventsUntil;
using kestrun::test::TempDir;
using Answer = InstanceChannel::Answer;

namespace {

// A later start's question, answered while this thread serves the channel's events.
Answer ask(const std::filesystem::path& file, std::chrono::milliseconds limit) {
    auto asked =
        std::async(std::launch::async, [&] { return InstanceChannel::askToShow(file, limit); });
    EXPECT_TRUE(processEventsUntil(
        [&] { return asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return asked.get();
}

} // namespace

// A later start of the same user is answered, as often as it asks, and finds no listener once
// the running one has gone. (A pipe whose server is another user's cannot be made under Wine,
// which keeps one all-powerful user and no pipe access rules.)
TEST(InstanceChannel, TheSameUserIsAnsweredWhileTheChannelLives) {
    TempDir dir;
    int shown = 0;
    {
        InstanceChannel channel(dir / "ch.sock", [&] { ++shown; });
        ASSERT_TRUE(channel.listening());
        EXPECT_EQ(ask(dir / "ch.sock", std::chrono::seconds(2)), Answer::Shown);
        EXPECT_EQ(ask(dir / "ch.sock", std::chrono::seconds(2)), Answer::Shown);
        EXPECT_EQ(shown, 2);
    }
    EXPECT_EQ(ask(dir / "ch.sock", std::chrono::milliseconds(500)), Answer::NoListener);
}
