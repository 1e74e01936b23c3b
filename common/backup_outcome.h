#pragma once

#include "common/local_date_time.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// What one backup run achieved, as kbm leaves it for Kestrun: kbm writes the record at the end
// of every run, Kestrun reads it to show the last backup's outcome. It lives in the user's kbm
// data folder, so each user sees their own runs.
struct BackupOutcome {
    LocalDateTime started; // when the run began
    bool delivered = true; // false: the destination was missing or unusable
    std::uint64_t filesCopied = 0;
    std::uint64_t bytesCopied = 0;
    std::uint64_t filesFailed = 0;
    std::string destination; // the folder, or "ftp://host:port" for an FTP destination
    std::string reason;      // why nothing could be delivered (after "Backup failed: ")

    // A run that delivered and lost no file.
    bool succeeded() const { return delivered && filesFailed == 0; }

    friend bool operator==(const BackupOutcome&, const BackupOutcome&) = default;
};

// <data>/KBM/last-run.txt
std::filesystem::path backupOutcomeFile(const std::filesystem::path& dataFolder);

// The record as text: "Key=value" lines (Started, Result, Copied, Bytes, Failed, Destination,
// Reason), each value reading back byte for byte.
std::string formatBackupOutcome(const BackupOutcome& outcome);
// nullopt when the text holds no valid start time or no result.
std::optional<BackupOutcome> parseBackupOutcome(std::string_view text);

// kbm's summary line before "Backup completed.": "Backup summary: 47 files copied (1048576
// bytes), 0 failed, to /media/usb".
std::string backupSummaryLine(const BackupOutcome& outcome);

// The outcome in one line for a person: "Last backup 10.12.2026 07:31: 47 files copied",
// "... 45 files copied, 2 failed", or "Last backup failed: destination /media/usb not
// available".
std::string lastBackupText(const BackupOutcome& outcome);

} // namespace kestrun
