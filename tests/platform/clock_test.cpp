#include "platform/clock.h"

#include <gtest/gtest.h>

#include <thread>

using kestrun::LocalDateTime;
using kestrun::TestClock;
using namespace std::chrono_literals;

TEST(TestClock, SleepingAdvancesLocalAndMonotonicTimeAndCallsTheHook) {
    TestClock clock(LocalDateTime::fromFields(2024, 1, 1, 23, 59, 59), 500);
    int hookCalls = 0;
    clock.setSleepHook([&](std::chrono::milliseconds d) {
        ++hookCalls;
        EXPECT_EQ(d, 1500ms);
    });
    clock.sleepFor(1500ms);
    EXPECT_EQ(clock.now(), LocalDateTime::fromFields(2024, 1, 2, 0, 0, 0));
    EXPECT_EQ(clock.monotonicMs(), 2000u);
    clock.advance(500ms);
    EXPECT_EQ(clock.now(), LocalDateTime::fromFields(2024, 1, 2, 0, 0, 1));
    EXPECT_EQ(hookCalls, 1);
    clock.setNow(LocalDateTime::fromFields(2030, 6, 1, 8, 0, 0));
    EXPECT_EQ(clock.now(), LocalDateTime::fromFields(2030, 6, 1, 8, 0, 0));
    EXPECT_EQ(clock.monotonicMs(), 2500u);
}

TEST(SystemClock, GivesAValidLocalTimeAndAMonotonicCount) {
    kestrun::SystemClock clock;
    EXPECT_TRUE(clock.now().valid());
    const auto a = clock.monotonicMs();
    clock.sleepFor(20ms);
    EXPECT_GE(clock.monotonicMs(), a + 20);
}

TEST(SystemClock, StoppableSleepWakesWhenStopped) {
    kestrun::SystemClock clock;
    std::stop_source stop;
    const auto start = clock.monotonicMs();
    std::jthread stopper([&] {
        std::this_thread::sleep_for(50ms);
        stop.request_stop();
    });
    clock.sleepFor(std::chrono::hours(1), stop.get_token());
    EXPECT_LT(clock.monotonicMs() - start, 30000u);
}
