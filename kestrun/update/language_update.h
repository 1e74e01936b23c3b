#pragma once

#include "kestrun/update/lan_update.h"
#include "kestrun/update/language_budget.h"
#include "kestrun/update/language_names.h"
#include "kestrun/update/wire_protocol.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrun {

class FileDescriptor;

// Mirrors the update server's distribution files (the client application's language files)
// into the folder of the local client executable: a file is fetched when it is missing or
// older than the server's copy, and a replaced file is kept under its own name followed by
// "-----" and its old time stamp. After at least one change the client application is warned
// and closed. Only plain names are written, so nothing lands outside that folder, and only
// files that cannot run: never a program's name or suffix, never over an executable file or
// through a link. A fetched file is written under a temporary name and takes the old one's
// place only when it is whole, with the server's stamp as its modification time. What a run
// writes, what the mirror keeps and how long a run takes are bounded (see LanguageLimits).
class LanguageMirror {
public:
    static constexpr std::chrono::milliseconds kStallLimit{5000};
    // A longer list, or one with more entries, is refused as a whole.
    static constexpr std::size_t kListLimit = 64 * 1024;
    static constexpr std::size_t kEntryLimit = 1000;
    // A larger file is not fetched.
    static constexpr std::int64_t kFileLimit = 16 * 1024 * 1024;
    // A file body must arrive at this many bytes a second on average, after a first 10 s.
    static constexpr std::int64_t kBodyRate = 32 * 1024;
    // At most this many "was not updated" lines are logged in one run; one more line counts
    // the rest.
    static constexpr int kNotUpdatedLines = 10;
    // A fetched file is written under a name of this pattern, made unique by the process and a
    // random number: several users' programs may mirror into one shared folder.
    static constexpr std::string_view kTemporaryPrefix = ".kestrun-language";
    static constexpr std::string_view kTemporarySuffix = ".part";

    // programs: the file names of the workstation's supervised programs, never written.
    explicit LanguageMirror(UpdateEngine engine, std::vector<std::string> programs = {},
                            LanguageLimits limits = {})
        : engine_(std::move(engine)), programs_(std::move(programs)), limits_(std::move(limits)) {}

    void update();
    // The bytes the last update wrote: fetched files and backups.
    std::int64_t written() const { return budget_ ? budget_->written() : 0; }

private:
    // True when the entry's file was replaced.
    bool mirror(const std::filesystem::path& folder, const std::string& name,
                std::string_view serverStamp, std::int64_t serverEpochSecond);
    // Runs the entries of the list that are to be mirrored; true when a file was replaced.
    bool mirrorAll(const std::filesystem::path& folder, const std::vector<wire::ListEntry>& entries,
                   const std::vector<std::string>& programs);
    // The announced size of the server's file, 0 when it is not available.
    std::int64_t askSize(const std::string& name);
    // Writes exactly size bytes of the file into out, within the run's time: nullopt without
    // a connection, else whether they all arrived.
    std::optional<bool> fetch(const FileDescriptor& out, const std::string& name,
                              std::int64_t size);
    // Logs the "was not updated" line, with the reason when there is one, within the limit.
    void notUpdated(const std::string& name, std::string_view reason = {});
    // The temporary name of the next fetched file.
    static std::filesystem::path temporaryIn(const std::filesystem::path& folder);
    // Removes what transfers of this user's killed runs left in the folder.
    static void removeLeftovers(const std::filesystem::path& folder);

    // The reply limit of a request: its own, within the time left of the run.
    std::chrono::milliseconds withinRun(std::chrono::milliseconds limit) const;

    UpdateEngine engine_;
    std::vector<std::string> programs_;
    LanguageLimits limits_;
    std::optional<LanguageBudget> budget_; // the running update's
    int notUpdated_ = 0;
};

} // namespace kestrun
