#include "kestrun/core/backup_status.h"
#include "kestrun/core/completion.h"
#include "kestrun/core/heartbeat.h"
#include "kestrun/core/pause_counter.h"
#include "kestrun/core/settings.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <map>
#include <thread>
#include <vector>

using kestrun::Heartbeat;
using kestrun::KsnMessage;
using kestrun::LocalDateTime;

namespace {

// Records what the heartbeat sends, with the number of the beat (1-based) it happened in.
struct RecordingTarget : kestrun::HeartbeatTarget {
    struct Event {
        int beat;
        KsnMessage message;
        bool posted;
    };
    int beat = 0;
    std::vector<Event> events;
    std::map<int, std::string> lines;
    std::vector<std::pair<int, std::string>> line1002;
    std::string pauseItem;

    void send(KsnMessage m) override { events.push_back({beat, m, false}); }
    void post(KsnMessage m) override { events.push_back({beat, m, true}); }
    void setStatusLine(int id, const std::string& text) override {
        lines[id] = text;
        if (id == 1002)
            line1002.emplace_back(beat, text);
    }
    void setPauseItemText(const std::string& text) override { pauseItem = text; }
    void repaint() override {}

    std::vector<int> beatsOf(KsnMessage m) const {
        std::vector<int> out;
        for (const auto& e : events)
            if (e.message == m)
                out.push_back(e.beat);
        return out;
    }
};

struct HeartbeatRig {
    kestrun::TestClock clock{LocalDateTime::fromFields(2024, 3, 4, 8, 0, 0)};
    kestrun::Settings settings;
    kestrun::PauseCounter pause;
    RecordingTarget target;
    Heartbeat heartbeat{clock, settings, pause, target};

    HeartbeatRig() { heartbeat.begin(); }
    void beats(int n) {
        for (int i = 0; i < n; ++i) {
            ++target.beat;
            heartbeat.beat();
        }
    }
};

} // namespace

TEST(Heartbeat, NextBackupTextHasTwoDigitFieldsAndLongHours) {
    EXPECT_EQ(kestrun::nextBackupText(3725), "Next backup in 01:02.05");
    EXPECT_EQ(kestrun::nextBackupText(400000), "Next backup in 111:06.40");
    EXPECT_EQ(kestrun::nextBackupText(43200), "Next backup in 12:00.00");
    EXPECT_EQ(kestrun::nextBackupText(-4), "Next backup in 00:00.00");
}

TEST(Heartbeat, BackupIsDueOnePeriodAfterTheLoopStartsThenAPeriodAfterEachLaunch) {
    HeartbeatRig rig;
    rig.beats(1);
    EXPECT_EQ(rig.target.lines[1004], "Next backup in 12:00.00");
    rig.beats(17300);
    // Beat k runs 5 (k - 1) seconds after the start: the first beat past 12 hours is 8642.
    const auto launches = rig.target.beatsOf(KsnMessage::BackupLaunch);
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0], 8642);
    EXPECT_EQ(launches[1], 8642 + 8641);
    // Every beat checks the programs while nothing pauses them.
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::ProgramCheck).size(), 17301u);
}

// The period runs on from the launch remembered from an earlier start (08:00 now): a workstation
// switched off before the period ran out still backs up at its next start.
TEST(Heartbeat, RememberedLaunchCarriesThePeriodAcrossStarts) {
    struct Case {
        LocalDateTime remembered;
        bool configured;
        int firstLaunch; // beat of the first launch
        const char* firstLine;
    };
    const auto at = [](int day, int hour) {
        return LocalDateTime::fromFields(2024, 3, day, hour, 0, 0);
    };
    for (const Case& c : {
             Case{{}, true, 1, "Next backup in 00:00.00"},       // never ran: at once
             Case{{}, false, 8642, "Next backup in 12:00.00"},   // nothing to back up
             Case{at(3, 8), true, 1, "Next backup in 00:00.00"}, // yesterday's run
             Case{at(3, 8), false, 1, "Next backup in 00:00.00"},
             Case{at(4, 6), true, 7202, "Next backup in 10:00.00"},  // 2 hours ago
             Case{at(4, 20), true, 8642, "Next backup in 12:00.00"}, // in the future
         }) {
        HeartbeatRig rig;
        rig.heartbeat.resumeSchedule(c.remembered, c.configured);
        rig.heartbeat.begin();
        rig.beats(1);
        EXPECT_EQ(rig.target.lines[1004], c.firstLine) << c.remembered.format("%X") << c.configured;
        rig.beats(c.firstLaunch + 8641 - 1);
        const auto launches = rig.target.beatsOf(KsnMessage::BackupLaunch);
        ASSERT_EQ(launches.size(), 2u) << c.firstLaunch;
        EXPECT_EQ(launches[0], c.firstLaunch);
        EXPECT_EQ(launches[1], c.firstLaunch + 8641); // then a period after each launch
    }
    // "Back up now" before the loop begins is the launch it starts from.
    HeartbeatRig early;
    early.heartbeat.resumeSchedule({}, true);
    early.heartbeat.noteLaunch(early.clock.now());
    early.heartbeat.begin();
    early.beats(8642);
    EXPECT_EQ(early.target.beatsOf(KsnMessage::BackupLaunch), std::vector<int>{8642});
    // "Back up now" starts the period again.
    HeartbeatRig rig;
    rig.beats(4000);
    rig.heartbeat.noteLaunch(rig.clock.now());
    rig.beats(8642);
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::BackupLaunch), std::vector<int>{4000 + 8642});
}

TEST(Heartbeat, PeriodZeroOrNegativeNeverLaunchesAndShowsBackupDisabled) {
    // A stored value above 2147483647 arrives negative in the 32-bit field.
    for (const std::int32_t period : {0, -1, static_cast<std::int32_t>(3000000000u),
                                      std::numeric_limits<std::int32_t>::min()}) {
        HeartbeatRig rig;
        rig.settings.period = period;
        rig.beats(9000);
        EXPECT_TRUE(rig.target.beatsOf(KsnMessage::BackupLaunch).empty()) << period;
        EXPECT_EQ(rig.target.lines[1004], "Backup disabled") << period;
    }
}

TEST(Heartbeat, PeriodBeyondTheCalendarShowsZeroAndNeverLaunches) {
    HeartbeatRig rig;
    rig.settings.period = 2147483647;
    rig.beats(100);
    EXPECT_EQ(rig.target.lines[1004], "Next backup in 00:00.00");
    EXPECT_TRUE(rig.target.beatsOf(KsnMessage::BackupLaunch).empty());
}

TEST(Heartbeat, UpdateClientPollsEveryThirdBeatWithTenSecondPull) {
    HeartbeatRig rig;
    rig.settings.umode = 2;
    rig.settings.upull = 10;
    rig.beats(12);
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::LanUpdate), (std::vector<int>{3, 6, 9, 12}));
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::LanguageUpdate), (std::vector<int>{3, 6, 9, 12}));
    // The language update follows the LAN poll directly.
    for (std::size_t i = 0; i + 1 < rig.target.events.size(); ++i) {
        if (rig.target.events[i].message == KsnMessage::LanUpdate) {
            EXPECT_EQ(rig.target.events[i + 1].message, KsnMessage::LanguageUpdate);
        }
    }

    HeartbeatRig server;
    server.settings.umode = 1;
    server.settings.upull = 0;
    server.beats(500);
    EXPECT_TRUE(server.target.beatsOf(KsnMessage::LanUpdate).empty());
    EXPECT_TRUE(server.target.beatsOf(KsnMessage::LanguageUpdate).empty());
}

TEST(Heartbeat, WebChecksComeAtEvery241stBeatInTheirOrder) {
    HeartbeatRig rig;
    rig.beats(500);
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::SelfUpdate), (std::vector<int>{241, 482}));
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::KbmUpdate), (std::vector<int>{241, 482}));
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::UpdaterUpdate), (std::vector<int>{241, 482}));
    std::vector<KsnMessage> order;
    for (const auto& e : rig.target.events)
        if (e.beat == 241 && e.message != KsnMessage::ProgramCheck)
            order.push_back(e.message);
    EXPECT_EQ(order, (std::vector<KsnMessage>{KsnMessage::SelfUpdate, KsnMessage::KbmUpdate,
                                              KsnMessage::UpdaterUpdate}));
}

TEST(Heartbeat, NewVersionNoticeIsPostedAfterAMinuteThenHourly) {
    HeartbeatRig rig;
    rig.beats(800);
    const auto notices = rig.target.beatsOf(KsnMessage::NewVersionNotice);
    // At the end of beat k the loop has run 5000 k ms: the first beat past 60 s is 13, the
    // next one past a further hour is 734.
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0], 13);
    EXPECT_EQ(notices[1], 734);
    for (const auto& e : rig.target.events)
        EXPECT_EQ(e.posted, e.message == KsnMessage::NewVersionNotice);
}

TEST(Heartbeat, NoticeOffNeverPostsAndFollowsWithinFiveMinutesOfSwitchingOn) {
    HeartbeatRig rig;
    rig.settings.promt = 0;
    rig.beats(2000);
    EXPECT_TRUE(rig.target.beatsOf(KsnMessage::NewVersionNotice).empty());
    rig.settings.promt = 1;
    rig.beats(100);
    const auto notices = rig.target.beatsOf(KsnMessage::NewVersionNotice);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_LE(notices[0] - 2000, 61);
    EXPECT_GE(notices[0] - 2000, 60);
}

TEST(Heartbeat, PauseCountsDownWithoutChecksThenResumes) {
    HeartbeatRig rig;
    rig.settings.delay = 5;
    rig.beats(1);
    rig.pause.set(rig.settings.delay * 60); // Stop
    rig.target.pauseItem = "Resume";
    const int stopBeat = rig.target.beat;
    rig.beats(61);
    ASSERT_FALSE(rig.target.line1002.empty());
    EXPECT_EQ(rig.target.line1002.front(),
              std::make_pair(stopBeat + 1, std::string("Resuming in 295 seconds")));
    EXPECT_EQ(rig.target.line1002.back(), std::make_pair(stopBeat + 60, std::string("Starting..")));
    EXPECT_EQ(rig.target.pauseItem, "Stop");
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::ProgramCheck), (std::vector<int>{1, stopBeat + 61}));
    // Backups and updates are not held back by a pause.
    EXPECT_EQ(rig.target.beatsOf(KsnMessage::NewVersionNotice), (std::vector<int>{13}));
}

TEST(PauseCounter, CountDownNeverGoesBelowZeroAndResumeWins) {
    kestrun::PauseCounter pause;
    EXPECT_FALSE(pause.countDown(5));
    pause.set(7);
    EXPECT_EQ(pause.countDown(5), 2);
    EXPECT_EQ(pause.countDown(5), 0);
    EXPECT_FALSE(pause.paused());
    pause.set(300);
    pause.set(0); // Resume
    EXPECT_FALSE(pause.countDown(5));
}

// The thread itself: nothing happens for the first 10 seconds, then the loop starts its backup
// period with the first beat.
TEST(Heartbeat, ThreadWaitsTenSecondsBeforeItsFirstBeat) {
    // Holds the first send until the test has read the clock, as a busy handler would.
    struct FirstBeat : RecordingTarget {
        kestrun::TestClock* clock = nullptr;
        std::uint64_t firstSendMs = 0;
        std::string firstBackupLine;
        // Condition variables, not atomic waits: MinGW's atomic waits may miss a wake-up.
        std::atomic<bool> sent{false};
        kestrun::Completion firstSent;
        kestrun::Completion release;
        void send(KsnMessage m) override {
            if (sent)
                return;
            firstSendMs = clock->monotonicMs();
            events.push_back({0, m, false});
            sent = true;
            firstSent.signal();
            release.wait({});
        }
        void setStatusLine(int id, const std::string& text) override {
            if (id == 1004 && firstBackupLine.empty())
                firstBackupLine = text;
        }
    };
    kestrun::TestClock clock{LocalDateTime::fromFields(2024, 3, 4, 8, 0, 0), 1'000'000};
    kestrun::Settings settings;
    kestrun::PauseCounter pause;
    FirstBeat target;
    target.clock = &clock;
    Heartbeat heartbeat{clock, settings, pause, target};
    heartbeat.start();
    target.firstSent.wait({});
    // What the heartbeat did up to its first send; it runs on once released.
    const std::uint64_t firstSendMs = target.firstSendMs;
    const auto eventsAtFirstSend = target.events;
    target.release.signal();
    heartbeat.stop();
    EXPECT_EQ(firstSendMs, 1'010'000u);
    ASSERT_EQ(eventsAtFirstSend.size(), 1u);
    EXPECT_EQ(eventsAtFirstSend.front().message, KsnMessage::ProgramCheck);
    // The backup period begins when the loop starts, after the wait.
    EXPECT_EQ(target.firstBackupLine, "Next backup in 12:00.00");
}

// Stop and Resume from the window thread race the heartbeat's count-down: a Resume must never be
// undone by a count-down that read the pause before it, a Stop never lost to one.
TEST(PauseCounter, StopAndResumeAreNeverUndoneByAConcurrentCountDown) {
    kestrun::PauseCounter pause;
    std::atomic<long> countDowns{0};
    std::atomic<bool> done{false};
    std::jthread beats([&] {
        while (!done) {
            pause.countDown(5);
            countDowns.fetch_add(1);
            countDowns.notify_all();
        }
    });
    const auto letTwoCountDownsRun = [&] {
        const long from = countDowns.load();
        for (long now = from; now < from + 2; now = countDowns.load())
            countDowns.wait(now);
    };
    constexpr std::int32_t kLongPause = 1'000'000'000;
    int undoneResumes = 0;
    int lostStops = 0;
    for (int i = 0; i < 2000; ++i) {
        pause.set(kLongPause); // Stop
        letTwoCountDownsRun();
        if (!pause.paused())
            ++lostStops;
        pause.set(0); // Resume
        letTwoCountDownsRun();
        if (pause.value() != 0)
            ++undoneResumes;
    }
    done = true;
    EXPECT_EQ(undoneResumes, 0);
    EXPECT_EQ(lostStops, 0);
}

// Each warning is raised once: a failed run when its record appears, and no success for two
// periods once until a run succeeds again. The launch and the last success outlive the program.
TEST(BackupStatus, WarnsOncePerFailedRunAndOncePerOverdueSpell) {
    kestrun::test::TempDir dir;
    const auto record = dir / "KBM/last-run.txt";
    const auto at = [](int hours) {
        return LocalDateTime::fromFields(2024, 3, 4, 8, 0, 0).addSeconds(hours * 3600);
    };
    const auto write = [&](int hours, const std::string& rest) {
        kestrun::test::writeFile(record,
                                 "Started=" + at(hours).format("%Y%m%d-%H%M%S") + "\n" + rest);
    };
    kestrun::IniSettingsStore store(dir / "Kestrun.conf");
    kestrun::BackupStatus status(store, record);
    status.launched(at(0));
    EXPECT_EQ(status.refresh(at(0), 12), std::nullopt);
    EXPECT_EQ(status.line(), "No backup has run yet");
    write(0, "Result=completed\nCopied=3\n");
    EXPECT_EQ(status.refresh(at(1), 12), std::nullopt);
    EXPECT_EQ(status.line(), "Last backup 04.03.2024 08:00: 3 files copied");
    write(12, "Result=failed\nReason=destination /media/usb not available\n");
    EXPECT_EQ(status.refresh(at(12), 12), "Backup failed: destination /media/usb not available");
    EXPECT_EQ(status.refresh(at(13), 12), std::nullopt);
    // A failure told once is not told again after a restart of the program.
    kestrun::IniSettingsStore restarted(dir / "Kestrun.conf");
    EXPECT_EQ(kestrun::BackupStatus(restarted, record).refresh(at(13), 12), std::nullopt);
    EXPECT_EQ(status.refresh(at(25), 12), "No backup has succeeded since 04.03.2024 08:00");
    EXPECT_EQ(status.refresh(at(40), 12), std::nullopt);
    write(40, "Result=completed\nCopied=1\nFailed=2\n");
    EXPECT_EQ(status.refresh(at(40), 12), "Last backup 06.03.2024 00:00: 1 file copied, 2 failed");
    write(41, "Result=completed\nCopied=1\n");
    EXPECT_EQ(status.refresh(at(41), 12), std::nullopt);
    EXPECT_EQ(status.refresh(at(66), 12), "No backup has succeeded since 06.03.2024 01:00");

    kestrun::IniSettingsStore again(dir / "Kestrun.conf");
    kestrun::BackupStatus later(again, record);
    EXPECT_EQ(later.lastLaunch(), at(0));
    EXPECT_EQ(later.refresh(at(66), 12), "No backup has succeeded since 06.03.2024 01:00");
}
