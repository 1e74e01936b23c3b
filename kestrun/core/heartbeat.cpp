#include "kestrun/core/heartbeat.h"

#include "kestrun/core/pause_counter.h"
#include "kestrun/core/settings.h"
#include "platform/clock.h"

#include <cstdio>

namespace kestrun {

namespace {

constexpr int kPauseStatusLine = 1002;
constexpr int kBackupStatusLine = 1004;
constexpr std::int32_t kBeatSeconds = 5;

} // namespace

std::string nextBackupText(std::int64_t remainingSeconds) {
    const std::int64_t r = remainingSeconds < 0 ? 0 : remainingSeconds;
    char buf[64];
    std::snprintf(buf, sizeof buf, "Next backup in %.2lld:%.2lld.%.2lld",
                  static_cast<long long>(r / 3600), static_cast<long long>(r % 3600 / 60),
                  static_cast<long long>(r % 60));
    return buf;
}

Heartbeat::Heartbeat(Clock& clock, const Settings& settings, PauseCounter& pause,
                     HeartbeatTarget& target)
    : clock_(clock), settings_(settings), pause_(pause), target_(target) {}

Heartbeat::~Heartbeat() {
    stop();
}

void Heartbeat::start() {
    thread_ = std::jthread([this](std::stop_token token) { run(std::move(token)); });
}

void Heartbeat::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void Heartbeat::run(std::stop_token token) {
    stop_ = token;
    clock_.sleepFor(std::chrono::milliseconds(kStartDelayMs), stop_);
    begin();
    while (!token.stop_requested())
        beat();
}

void Heartbeat::resumeSchedule(const LocalDateTime& lastLaunch, bool configured) {
    std::lock_guard lock(backupMutex_);
    remembered_ = lastLaunch;
    configured_ = configured;
}

void Heartbeat::noteLaunch(const LocalDateTime& when) {
    std::lock_guard lock(backupMutex_);
    lastBackup_ = when;
    remembered_ = when; // a launch before the loop began is the one it starts from
    dueAtFirstBeat_ = false;
}

void Heartbeat::begin() {
    const LocalDateTime now = clock_.now();
    {
        // The period runs on from the remembered launch; one remembered in the future (the
        // clock was set back) starts afresh now.
        std::lock_guard lock(backupMutex_);
        const auto since = secondsBetween(remembered_, now);
        lastBackup_ = since && *since >= 0 ? remembered_ : now;
        dueAtFirstBeat_ = !remembered_.valid() && configured_;
    }
    pollSeconds_ = 0;
    webSeconds_ = 0;
    noticeDeadlineMs_ = clock_.monotonicMs() + kFirstNoticeMs;
}

void Heartbeat::beat() {
    // Pause count-down, or the program check.
    if (const auto left = pause_.countDown(kBeatSeconds)) {
        target_.setStatusLine(kPauseStatusLine,
                              "Resuming in " + std::to_string(*left) + " seconds");
        if (*left == 0) {
            target_.setStatusLine(kPauseStatusLine, "Starting..");
            target_.setPauseItemText("Stop");
        }
        target_.repaint();
    } else {
        target_.send(KsnMessage::ProgramCheck);
    }

    // Time to the next backup. A period beyond the calendar's range leaves no backup due; a
    // negative one (a stored value above 2147483647) disables backups like 0 does, rather than
    // making a backup due at every beat.
    const std::int32_t periodHours = settings_.period;
    const bool backups = periodHours > 0;
    std::unique_lock lock(backupMutex_);
    const std::int64_t remaining =
        dueAtFirstBeat_
            ? 0
            : secondsBetween(clock_.now(), lastBackup_.addSeconds(std::int64_t{periodHours} * 3600))
                  .value_or(0);
    lock.unlock();
    target_.setStatusLine(kBackupStatusLine,
                          backups ? nextBackupText(remaining) : "Backup disabled");

    // The schedule read again: a "Back up now" since the display has started the period anew.
    lock.lock();
    const LocalDateTime due = lastBackup_.addSeconds(std::int64_t{periodHours} * 3600);
    const auto overdue = secondsBetween(due, clock_.now());
    const bool launch = (overdue && *overdue > 0) || (dueAtFirstBeat_ && backups);
    lock.unlock();
    if (launch) {
        if (backups)
            target_.send(KsnMessage::BackupLaunch);
        lock.lock();
        lastBackup_ = clock_.now();
        dueAtFirstBeat_ = false;
        lock.unlock();
    }
    target_.followBackups();

    clock_.sleepFor(std::chrono::milliseconds(kBeatMs), stop_);

    // LAN poll of an update client.
    if (settings_.umode == 2) {
        pollSeconds_ += kBeatSeconds;
        if (pollSeconds_ > settings_.upull) {
            target_.send(KsnMessage::LanUpdate);
            target_.send(KsnMessage::LanguageUpdate);
            pollSeconds_ = 0;
        }
    }

    // Web checks, every 241st beat.
    webSeconds_ += kBeatSeconds;
    if (webSeconds_ > kWebIntervalSeconds) {
        target_.send(KsnMessage::SelfUpdate);
        target_.send(KsnMessage::KbmUpdate);
        target_.send(KsnMessage::UpdaterUpdate);
        webSeconds_ = 0;
    }

    // New-version notice.
    const std::uint32_t promtHours = settings_.promt;
    const std::uint64_t nowMs = clock_.monotonicMs();
    if (promtHours != 0) {
        if (nowMs > noticeDeadlineMs_) {
            noticeDeadlineMs_ = nowMs + std::uint64_t{promtHours} * 3600000u;
            target_.post(KsnMessage::NewVersionNotice);
        }
    } else {
        noticeDeadlineMs_ = nowMs + kNoticeRetryMs;
    }
}

} // namespace kestrun
