#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

class EventLog;

// The free space of the disk that holds a path; nullopt when it cannot be read.
std::optional<std::filesystem::space_info> diskSpaceOf(const std::filesystem::path& path);

// What one run of the language mirror may spend. A server chooses the names, sizes and stamps
// of what it lists, and a hostile one lists new large files at every poll: these bounds keep
// what it can make the workstation write, store and wait for.
struct LanguageLimits {
    // Bytes written in one run: fetched files and the backups made of the files they replace.
    std::int64_t runBytes = std::int64_t{64} << 20;
    // The mirror's files and their backups in the client application's folder together.
    std::int64_t mirrorBytes = std::int64_t{256} << 20;
    // Backups kept of each file: the newest ones; older ones are removed.
    std::size_t keptBackups = 3;
    // Nothing is written when the disk would keep less free than this share of its size, or
    // than these bytes.
    std::uint32_t freePercent = 5;
    std::int64_t freeBytes = std::int64_t{1} << 30;
    // One run ends after this long, on the engine's clock; the rest waits for the next poll.
    std::chrono::milliseconds runTime = std::chrono::minutes(5);
    std::function<std::optional<std::filesystem::space_info>(const std::filesystem::path&)>
        diskSpace = diskSpaceOf;
};

// The name a backup of a replaced file takes: the file's name, "-----" and its old stamp.
std::string backupName(std::string_view name, std::string_view stamp);
// The file's name and the stamp of a name of that form (the stamp 12 digits, the name not
// empty); nullopt for any other name.
struct BackupOf {
    std::string name;
    std::string stamp;
};
std::optional<BackupOf> parseBackupName(std::string_view backup);

// One run's account of the mirror's folder. At the start it measures what the mirror's files
// (every file the mirror could have written) and their backups take, and removes the backups
// beyond the newest ones of each file. Each write asks first whether it fits; the first time a
// bound is reached the run logs one line for it, and every write that does not fit is skipped.
class LanguageBudget {
public:
    LanguageBudget(LanguageLimits limits, const EventLog& log, std::uint64_t startMs);

    // Measures the folder and removes old backups; mirrorable says whether a file name is one
    // the mirror may write.
    void scan(const std::filesystem::path& folder,
              const std::function<bool(std::string_view name)>& mirrorable);
    // Whether bytes more can be written into the folder now: within the run's bytes, the
    // mirror's size and the disk's reserve. A write that does not fit logs its bound's line once.
    bool fits(std::int64_t bytes);
    // Bytes written to the disk (also when their file is then removed).
    void wrote(std::int64_t bytes) { written_ += bytes; }
    // The mirror's files grew (or shrank) by bytes.
    void grew(std::int64_t bytes) { stored_ += bytes; }
    // A backup of the named file was made: it is counted, and the file's oldest backups beyond
    // the kept ones are removed (never the new one).
    void backedUp(const std::string& name, const std::string& stamp, std::int64_t bytes);

    // Time left of the run, and whether it is over (the first time it is, its line is logged).
    std::chrono::milliseconds timeLeft(std::uint64_t nowMs) const;
    bool timeIsUp(std::uint64_t nowMs);
    // Logs how many old backups were removed, if any.
    void finish();

    std::int64_t written() const { return written_; }
    std::int64_t stored() const { return stored_; }

private:
    struct Backup {
        std::filesystem::path path;
        std::int64_t bytes = 0;
    };
    // A file's backups by stamp, oldest first.
    using Backups = std::map<std::string, Backup>;
    void prune(Backups& backups, const std::string& keep);

    LanguageLimits limits_;
    const EventLog& log_;
    std::uint64_t endMs_;
    std::filesystem::path folder_;
    std::map<std::string, Backups> backups_; // by the name of the file they were made of
    std::int64_t written_ = 0;
    std::int64_t stored_ = 0;
    int removed_ = 0;
    bool runLogged_ = false, mirrorLogged_ = false, diskLogged_ = false, timeLogged_ = false;
};

} // namespace kestrun
