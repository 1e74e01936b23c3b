#pragma once

#include "kestrun/supervisor/program_list.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

class HeldPrograms;

// Status line ids of the main window that the check writes.
inline constexpr int kStatusLastCheck = 1002; // "Last check: <time>"
inline constexpr int kStatusLastRun = 1003;   // "Last run: <time> <file name>"

// What the program check needs of the main window.
class MonitorHost {
public:
    virtual ~MonitorHost() = default;
    // Appends one line to the event log.
    virtual void log(std::string_view message) = 0;
    // Replaces the text of a status line of the main window.
    virtual void setStatusLine(int id, const std::string& text) = 0;
    // The working folder: a program given by its bare name is looked up there first. (The main
    // window's accessor of the same name provides it.)
    virtual const std::filesystem::path& workingFolder() const = 0;
};

// The check that keeps the programs of the list running and starts the scheduled ones.
// It runs on the main window's thread at every beat and works on the window's list in place.
class ProgramMonitor {
public:
    // The list, the busy flag and the host belong to the main window; all of them and the
    // platform services must outlive the monitor.
    ProgramMonitor(ProgramList& list, const std::atomic<std::int32_t>& busy, MonitorHost& host,
                   Clock& clock, ProcessTable& processes, ProgramLauncher& launcher);

    // One check: finds out which entries run, restarts missing "always" programs and starts
    // the daily and periodic ones that are due. Does nothing while the busy flag is set.
    void check();

    // Programs held by another part of Kestrun are not started while held; null: none.
    void setHeld(const HeldPrograms* held) { held_ = held; }

    // The checks in a row that miss a ".jar" program before it is started again.
    static constexpr std::int32_t kJarMissesBeforeStart = 5;
    // After this many starts in a row of an "always" entry that failed, or whose process was
    // gone by the next check, its starts are no longer logged one by one but summarised once
    // every kEndingSummaryMs, until it is found running at a check.
    static constexpr int kEndingStartsBeforeSummary = 3;
    static constexpr std::uint64_t kEndingSummaryMs = 3'600'000;

private:
    // What the check keeps of one entry between checks. It belongs to the entry of the same
    // text (the n-th of n twins to the n-th), so it follows the entry when the list is edited;
    // an entry whose text changes starts afresh. Nothing of it is in the list file.
    struct EntryState {
        std::string text;
        // The process we started for the entry, as long as every snapshot since has held it:
        // it counts as the entry's whatever it has become (a wrapper that exec'd its program).
        std::optional<std::int64_t> pid;
        // The process was started at the last check and has not been seen running since.
        bool fresh = false;
        LocalDateTime startedAt; // of the last start
        // Starts in a row that failed or whose process was gone by the next check.
        int endedStarts = 0;
        LocalDateTime endingSince; // the first start of those
        // Summarising: the starts are not logged one by one.
        bool quiet = false;
        std::uint64_t summaryMs = 0; // when the last summary was written
        LocalDateTime summarySince;
        int startsSinceSummary = 0;
        // "last exit status 3", "last start failed: file not found"
        std::string lastOutcome;
        // The cause of a failed start logged last: each cause is logged once in a row.
        std::string loggedCause;
    };

    void followList();
    void forgetEndedPids(const std::vector<ProcessInfo>& processes,
                         std::vector<std::optional<std::int64_t>>& endedPids);
    void noteEnded(EntryState& state, std::int64_t pid);
    void countEndedStart(EntryState& state, const std::string& path);
    void summarise(EntryState& state, const std::string& path, int starts,
                   const LocalDateTime& since);
    void markRunning(const std::vector<ProcessInfo>& processes,
                     const std::vector<std::optional<ProgramCommand>>& commands);
    // Whether a ".jar" entry counts as running, given the lower-cased Java command lines; the
    // misses are counted in the entry.
    static bool jarSeen(ProgramEntry& entry, const ProgramCommand& command,
                        const std::vector<std::string>& javaLines);
    bool due(const ProgramEntry& entry, const LocalDateTime& now) const;
    void start(std::size_t index, const ProgramCommand& command);

    ProgramList& list_;
    const std::atomic<std::int32_t>& busy_;
    MonitorHost& host_;
    Clock& clock_;
    ProcessTable& processes_;
    ProgramLauncher& launcher_;
    const HeldPrograms* held_ = nullptr;
    std::vector<EntryState> states_; // one per entry of the list, in its order, during a check
};

} // namespace kestrun
