#pragma once

#include "common/backup_outcome.h"
#include "common/local_date_time.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

class SettingsStore;

// What Kestrun knows of the backups: when it last launched one (remembered across starts in
// the settings store, so a workstation that is switched on for a working day still backs up
// once a period), and how the last run ended (the record kbm leaves in the user's kbm data
// folder). It decides which warnings to raise, each once. Window thread only.
class BackupStatus {
public:
    // Stored values: the last launch, and the start of the last run seen to succeed (or, while
    // none has, the first launch: the time since which no backup has succeeded).
    static constexpr const char* kLastLaunchValue = "Lastbackup";
    static constexpr const char* kLastGoodValue = "Lastgoodbackup";
    // The start of the last failed run warned about: each failure is told once, also across
    // starts of the program.
    static constexpr const char* kLastWarnedValue = "Lastbackupwarned";

    BackupStatus(SettingsStore& store, std::filesystem::path recordFile);

    // The launch remembered from earlier starts; invalid when none is.
    LocalDateTime lastLaunch() const { return lastLaunch_; }
    // Remembers a launch made now.
    void launched(const LocalDateTime& now);

    // Reads kbm's record again. Returns the text of a warning to raise now, if any: a run that
    // failed or lost files (once per run), or no successful run for two backup periods (once
    // per start of the program, until a run succeeds).
    std::optional<std::string> refresh(const LocalDateTime& now, std::int32_t periodHours);

    // The last run in one line ("Last backup 10.12.2026 07:31: 47 files copied"), or "No backup
    // has run yet".
    std::string line() const;
    const std::optional<BackupOutcome>& outcome() const { return outcome_; }

private:
    LocalDateTime readStamp(const char* name) const;
    void writeStamp(const char* name, const LocalDateTime& when);

    SettingsStore& store_;
    std::filesystem::path recordFile_;
    LocalDateTime lastLaunch_;
    LocalDateTime lastGood_;
    LocalDateTime lastWarned_;
    std::optional<BackupOutcome> outcome_;
    bool overdueWarned_ = false;
};

// Parses "%Y%m%d-%H%M%S"; invalid for anything else.
LocalDateTime parseSetStamp(std::string_view text);

} // namespace kestrun
