#include "kestrun/update/language_budget.h"

#include "kestrun/core/event_log.h"

#include <algorithm>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kBackupSeparator = "-----";
constexpr std::size_t kStampLength = 12;
constexpr unsigned kAnyExecuteBit = 0111;

} // namespace

std::optional<fs::space_info> diskSpaceOf(const fs::path& path) {
    std::error_code ec;
    const fs::space_info space = fs::space(path, ec);
    if (ec)
        return std::nullopt;
    return space;
}

std::string backupName(std::string_view name, std::string_view stamp) {
    return std::string(name) + std::string(kBackupSeparator) + std::string(stamp);
}

std::optional<BackupOf> parseBackupName(std::string_view backup) {
    const std::size_t tail = kBackupSeparator.size() + kStampLength;
    if (backup.size() <= tail)
        return std::nullopt;
    const std::string_view separator = backup.substr(backup.size() - tail, kBackupSeparator.size());
    const std::string_view stamp = backup.substr(backup.size() - kStampLength);
    if (separator != kBackupSeparator ||
        stamp.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return BackupOf{std::string(backup.substr(0, backup.size() - tail)), std::string(stamp)};
}

LanguageBudget::LanguageBudget(LanguageLimits limits, const EventLog& log, std::uint64_t startMs)
    : limits_(std::move(limits)), log_(log),
      endMs_(startMs +
             static_cast<std::uint64_t>(std::max<std::int64_t>(0, limits_.runTime.count()))) {}

void LanguageBudget::scan(const fs::path& folder,
                          const std::function<bool(std::string_view name)>& mirrorable) {
    folder_ = folder;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        // Only plain files that cannot run are the mirror's, as only those it writes.
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (statusError || !fs::is_regular_file(status) ||
            (static_cast<unsigned>(status.permissions()) & kAnyExecuteBit))
            continue;
        const std::uintmax_t size = it->file_size(statusError);
        if (statusError)
            continue;
        const auto bytes = static_cast<std::int64_t>(size);
        const std::string name = it->path().filename().string();
        if (const auto backup = parseBackupName(name); backup && mirrorable(backup->name)) {
            backups_[backup->name][backup->stamp] = {it->path(), bytes};
            stored_ += bytes;
        } else if (mirrorable(name)) {
            stored_ += bytes;
        }
    }
    for (auto& entry : backups_)
        prune(entry.second, {});
}

bool LanguageBudget::fits(std::int64_t bytes) {
    const auto reached = [this](bool& logged, const std::string& line) {
        if (!logged)
            log_.log(line);
        logged = true;
        return false;
    };
    if (written_ + bytes > limits_.runBytes)
        return reached(runLogged_, "Language file update reached its limit of " +
                                       std::to_string(limits_.runBytes) +
                                       " bytes, the rest follows at the next poll");
    if (stored_ + bytes > limits_.mirrorBytes)
        return reached(mirrorLogged_, "Language files and their backups reached their limit of " +
                                          std::to_string(limits_.mirrorBytes) +
                                          " bytes: " + folder_.string());
    const auto space = limits_.diskSpace ? limits_.diskSpace(folder_) : std::nullopt;
    const std::uintmax_t reserve =
        space ? std::max<std::uintmax_t>(space->capacity / 100 * limits_.freePercent,
                                         static_cast<std::uintmax_t>(limits_.freeBytes))
              : 0;
    if (!space || space->available < reserve ||
        space->available - reserve < static_cast<std::uintmax_t>(bytes))
        return reached(diskLogged_, "Language files not written, the disk would keep less than " +
                                        std::to_string(limits_.freePercent) + "% or " +
                                        std::to_string(limits_.freeBytes) +
                                        " bytes free: " + folder_.string());
    return true;
}

void LanguageBudget::backedUp(const std::string& name, const std::string& stamp,
                              std::int64_t bytes) {
    Backups& backups = backups_[name];
    const auto slot =
        backups.try_emplace(stamp, Backup{folder_ / backupName(name, stamp), 0}).first;
    stored_ += bytes - slot->second.bytes; // a backup of the same stamp was overwritten
    slot->second.bytes = bytes;
    prune(backups, stamp);
}

void LanguageBudget::prune(Backups& backups, const std::string& keep) {
    for (auto it = backups.begin(); backups.size() > limits_.keptBackups && it != backups.end();) {
        if (it->first == keep) {
            ++it;
            continue;
        }
        std::error_code ec;
        if (fs::remove(it->second.path, ec) && !ec) {
            stored_ -= it->second.bytes;
            ++removed_;
        }
        it = backups.erase(it);
    }
}

std::chrono::milliseconds LanguageBudget::timeLeft(std::uint64_t nowMs) const {
    return std::chrono::milliseconds(nowMs >= endMs_ ? 0 : endMs_ - nowMs);
}

bool LanguageBudget::timeIsUp(std::uint64_t nowMs) {
    if (nowMs < endMs_)
        return false;
    if (!timeLogged_)
        log_.log("Language file update stopped after " +
                 std::to_string(
                     std::chrono::duration_cast<std::chrono::seconds>(limits_.runTime).count()) +
                 " seconds, the rest follows at the next poll");
    timeLogged_ = true;
    return true;
}

void LanguageBudget::finish() {
    if (removed_ > 0)
        log_.log(std::to_string(removed_) + " old backups of Language files were removed, the " +
                 std::to_string(limits_.keptBackups) + " newest of each file are kept");
}

} // namespace kestrun
