#include "kestrun/core/heartbeat.h"
#include "kestrun/core/pause_counter.h"
#include "kestrun/update/version_notice.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/kestrun/update/web_fixture.h"
#include "tests/support/qt_app.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace kestrun::test {
namespace {

// Remembers what a check showed.
struct RecordingSink final : NoticeSink {
    std::vector<std::string> balloons;
    std::vector<std::string> windows;
    void showBalloon(const std::string& text) override { balloons.push_back(text); }
    void showNoticeWindow(const std::string& text) override { windows.push_back(text); }
};

std::string noticeFor(const std::string& version) {
    return "New version of ZML was realised: " + version +
           ".\nPlease inform Your software administrator as soon as possible!\n\n"
           "Thanks! KSN developing team.";
}

class VersionNoticeTest : public WebFixture {
protected:
    VersionNoticeTest() {
        qtApp();
        startSite();
        settings_.ufile = (work_ / "Zelmo_serv.exe").string();
    }
    void install(const FileVersion& v) { installBuilt("kbm", v, work_ / "Zelmo_serv.exe"); }
    void offer(const std::string& version) {
        publish("Zelmov5/ver.txt", "KSN:1.0.0.0\r\nZelmo:" + version + "\r\n");
    }
    bool check() { return checkNewVersion(settings_, web_, versions_, sink_); }
    std::size_t manifestRequests() const {
        const auto paths = requestedPaths();
        return static_cast<std::size_t>(
            std::count(paths.begin(), paths.end(), "/Zelmov5//ver.txt"));
    }

    NoticeVersions versions_;
    RecordingSink sink_;
};

TEST_F(VersionNoticeTest, AnnouncesOnlyANewerWebVersion) {
    struct Case {
        const char* what;
        std::optional<FileVersion> installed; // nullopt: no readable executable
        std::string ufileSuffix;
        std::optional<std::string> manifest; // nullopt: no manifest on the site
        bool shown;
        std::string announced;
    };
    const Case cases[] = {
        {"same version", version(5, 2, 0, 118), "", "Zelmo:5.2.0.118", false, ""},
        {"newer revision", version(5, 2, 0, 118), "", "Zelmo:5.2.0.119", true, "5.2.0.119"},
        {"newer minor, lower revision", version(5, 2, 0, 118), "", "Zelmo:5.3.0.1", true,
         "5.3.0.1"},
        {"installed is newer", version(5, 3, 0, 0), "", "Zelmo:5.2.9.999", false, ""},
        {"no installed program", std::nullopt, "", "Zelmo:0.0.0.1", true, "0.0.0.1"},
        {"the path ends before the '?'", version(5, 2, 0, 118), "?+", "Zelmo:5.2.0.118", false, ""},
        {"manifest without the key", version(5, 2, 0, 118), "", "KSN:9.9.9.9", false, ""},
        {"no manifest", version(5, 2, 0, 118), "", std::nullopt, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(work_ / "Zelmo_serv.exe");
        std::filesystem::remove(site_ / "Zelmov5/ver.txt");
        if (c.installed)
            install(*c.installed);
        settings_.ufile = (work_ / "Zelmo_serv.exe").string() + c.ufileSuffix;
        if (c.manifest)
            publish("Zelmov5/ver.txt", "KSN:1.0.0.0\r\n" + *c.manifest + "\r\n");
        versions_ = {};
        sink_ = {};
        EXPECT_EQ(check(), c.shown);
        EXPECT_EQ(versions_.newestAnnounced, c.announced);
        if (c.shown) {
            EXPECT_EQ(sink_.balloons, std::vector<std::string>{noticeFor(c.announced)});
            EXPECT_EQ(sink_.windows, sink_.balloons);
        } else {
            EXPECT_TRUE(sink_.balloons.empty());
            EXPECT_TRUE(sink_.windows.empty());
        }
    }
    EXPECT_FALSE(std::filesystem::exists(log_.file())); // a failed check writes no line
}

TEST_F(VersionNoticeTest, ASilencedVersionStaysQuietUntilANewerOneAppears) {
    install(version(5, 2, 0, 118));
    offer("5.2.0.119");
    ASSERT_TRUE(check());
    versions_.silenceNewest();
    EXPECT_FALSE(check());
    EXPECT_EQ(versions_.newestAnnounced, "5.2.0.119");
    offer("5.2.0.120");
    EXPECT_TRUE(check());
    EXPECT_EQ(sink_.balloons.back(), noticeFor("5.2.0.120"));
    EXPECT_EQ(versions_.silenced, "5.2.0.119");
    EXPECT_EQ(sink_.balloons.size(), 2u);
}

// The heartbeat drives the check; its other messages are ignored here.
struct NoticeDriver final : HeartbeatTarget {
    std::function<void()> check;
    void send(KsnMessage) override {}
    void post(KsnMessage message) override {
        if (message == KsnMessage::NewVersionNotice)
            check();
    }
    void setStatusLine(int, const std::string&) override {}
    void setPauseItemText(const std::string&) override {}
    void repaint() override {}
};

class NoticeScheduleTest : public VersionNoticeTest {
protected:
    // Runs the heartbeat for the virtual time and returns, for each balloon, the milliseconds
    // since the heartbeat's loop started.
    std::vector<std::int64_t> balloonTimes(std::chrono::milliseconds span) {
        std::vector<std::int64_t> times;
        NoticeDriver driver;
        Heartbeat heartbeat(clock_, settings_, pause_, driver);
        heartbeat.begin();
        const std::uint64_t start = clock_.monotonicMs();
        driver.check = [&] {
            if (check())
                times.push_back(static_cast<std::int64_t>(clock_.monotonicMs() - start));
        };
        while (clock_.monotonicMs() - start < static_cast<std::uint64_t>(span.count()))
            heartbeat.beat();
        return times;
    }
    PauseCounter pause_;
};

TEST_F(NoticeScheduleTest, EveryPromtHoursAfterTheFirstMinute) {
    using namespace std::chrono_literals;
    install(version(5, 2, 0, 118));
    offer("5.2.0.119");
    settings_.period = 0;
    settings_.promt = 4;
    const auto times = balloonTimes(8h + 2min);
    ASSERT_EQ(times.size(), 3u);
    constexpr std::int64_t minute = 60'000, hours4 = 4 * 3'600'000, beat = 5'000;
    EXPECT_GT(times[0], minute);
    EXPECT_LE(times[0], minute + beat);
    for (std::size_t i = 1; i < times.size(); ++i) {
        EXPECT_GT(times[i] - times[i - 1], hours4);
        EXPECT_LE(times[i] - times[i - 1], hours4 + beat);
    }
    EXPECT_EQ(manifestRequests(), 3u);
}

TEST_F(NoticeScheduleTest, PromtZeroNeverChecks) {
    using namespace std::chrono_literals;
    install(version(5, 2, 0, 118));
    offer("5.2.0.119");
    settings_.promt = 0;
    EXPECT_TRUE(balloonTimes(6h).empty());
    EXPECT_EQ(manifestRequests(), 0u);
}

} // namespace
} // namespace kestrun::test
