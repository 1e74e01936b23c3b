#pragma once

#include "common/local_date_time.h"
#include "kestrun/core/messages.h"

#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace kestrun {

class Clock;
class PauseCounter;
struct Settings;

// What the heartbeat drives: the main window. send() returns when the message's handler has
// run on the window thread; post() does not wait. The status lines and the pause item's text
// may be set from the heartbeat thread.
class HeartbeatTarget {
public:
    virtual ~HeartbeatTarget() = default;
    virtual void send(KsnMessage message) = 0;
    virtual void post(KsnMessage message) = 0;
    virtual void setStatusLine(int id, const std::string& text) = 0;
    virtual void setPauseItemText(const std::string& text) = 0;
    virtual void repaint() = 0;
    // Once per beat, after the backup schedule: the window looks at the backups' outcome.
    virtual void followBackups() {}
};

// "Next backup in HH:MM.SS" for the remaining seconds; hours may have more than two digits.
// A remaining time below zero (the beat at which a backup becomes due) shows as zero.
std::string nextBackupText(std::int64_t remainingSeconds);

// The clock of Kestrun: every 5 seconds it counts a pause down or triggers the program check,
// shows the time to the next backup, launches due backups and, at longer intervals, triggers
// the update engine and the new-version notice. It only counts; all work is done by the
// handlers of the messages it sends.
class Heartbeat {
public:
    static constexpr std::int64_t kStartDelayMs = 10000;
    static constexpr std::int64_t kBeatMs = 5000;
    static constexpr std::int64_t kFirstNoticeMs = 60000;
    static constexpr std::int64_t kNoticeRetryMs = 300000;
    static constexpr std::int64_t kWebIntervalSeconds = 1200;

    Heartbeat(Clock& clock, const Settings& settings, PauseCounter& pause, HeartbeatTarget& target);
    ~Heartbeat();
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    // Starts the thread: a 10-second wait, then beats until stop() (the program never stops it).
    void start();
    // Ends the thread after its current step and joins it.
    void stop();

    // Before start(): the last backup launch remembered from an earlier start of the program
    // (invalid: none), and whether there is something to back up. A period that ran out since
    // that launch, or a first backup that never ran, is due at the first beat.
    void resumeSchedule(const LocalDateTime& lastLaunch, bool configured);
    // A backup launched outside the schedule ("Back up now"): the next one is a period later.
    // Safe from any thread.
    void noteLaunch(const LocalDateTime& when);

    // The loop state as at the start of the loop (after the initial wait).
    void begin();
    // One beat, including its 5-second sleep.
    void beat();

private:
    void run(std::stop_token token);

    Clock& clock_;
    const Settings& settings_;
    PauseCounter& pause_;
    HeartbeatTarget& target_;

    std::mutex backupMutex_; // lastBackup_ is also set by noteLaunch()
    LocalDateTime lastBackup_;
    LocalDateTime remembered_;
    bool configured_ = false;
    bool dueAtFirstBeat_ = false;
    std::uint32_t pollSeconds_ = 0;
    std::int32_t webSeconds_ = 0;
    std::uint64_t noticeDeadlineMs_ = 0;
    std::stop_token stop_; // ends the thread's sleeps early

    std::jthread thread_;
};

} // namespace kestrun
