#include "kestrun/core/backup_status.h"

#include "platform/regular_file.h"
#include "platform/settings_store.h"

#include <charconv>

namespace kestrun {

namespace {

// kbm's record is a few lines; anything larger is not one.
constexpr std::size_t kMaxRecordBytes = 64 * 1024;

} // namespace

LocalDateTime parseSetStamp(std::string_view text) {
    if (text.size() != 15 || text[8] != '-')
        return {};
    int f[6] = {};
    const std::size_t at[6] = {0, 4, 6, 9, 11, 13};
    const std::size_t len[6] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i) {
        const char* b = text.data() + at[i];
        const auto [end, ec] = std::from_chars(b, b + len[i], f[i]);
        if (ec != std::errc() || end != b + len[i])
            return {};
    }
    return LocalDateTime::fromFields(f[0], f[1], f[2], f[3], f[4], f[5]);
}

BackupStatus::BackupStatus(SettingsStore& store, std::filesystem::path recordFile)
    : store_(store), recordFile_(std::move(recordFile)) {
    lastLaunch_ = readStamp(kLastLaunchValue);
    lastGood_ = readStamp(kLastGoodValue);
    lastWarned_ = readStamp(kLastWarnedValue);
}

LocalDateTime BackupStatus::readStamp(const char* name) const {
    const auto text = store_.readText(name);
    return text ? parseSetStamp(*text) : LocalDateTime{};
}

void BackupStatus::writeStamp(const char* name, const LocalDateTime& when) {
    store_.writeText(name, when.format(kSetStampFormat));
    store_.flush(); // a store that cannot be written forgets it: the next start backs up again
}

void BackupStatus::launched(const LocalDateTime& now) {
    lastLaunch_ = now;
    writeStamp(kLastLaunchValue, now);
    if (!lastGood_.valid()) {
        lastGood_ = now;
        writeStamp(kLastGoodValue, now);
    }
}

std::optional<std::string> BackupStatus::refresh(const LocalDateTime& now,
                                                 std::int32_t periodHours) {
    std::optional<BackupOutcome> read;
    if (const auto text = readRegularFile(recordFile_, kMaxRecordBytes))
        read = parseBackupOutcome(*text);
    std::optional<std::string> warning;
    if (read && read != outcome_) {
        outcome_ = read;
        if (read->succeeded()) {
            overdueWarned_ = false;
            if (read->started != lastGood_) {
                lastGood_ = read->started;
                writeStamp(kLastGoodValue, lastGood_);
            }
        } else if (read->started != lastWarned_) {
            warning = read->delivered ? line() : "Backup failed: " + read->reason;
            lastWarned_ = read->started;
            writeStamp(kLastWarnedValue, lastWarned_);
        }
    }
    if (!warning && periodHours > 0 && lastGood_.valid() && !overdueWarned_) {
        const auto since = secondsBetween(lastGood_, now);
        if (since && *since > 2 * std::int64_t{periodHours} * 3600) {
            overdueWarned_ = true;
            warning = "No backup has succeeded since " + lastGood_.format("%d.%m.%Y %H:%M");
        }
    }
    return warning;
}

std::string BackupStatus::line() const {
    return outcome_ ? lastBackupText(*outcome_) : std::string("No backup has run yet");
}

} // namespace kestrun
