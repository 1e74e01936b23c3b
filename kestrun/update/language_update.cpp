#include "kestrun/update/language_update.h"

#include "common/file_version.h"
#include "kestrun/core/event_log.h"
#include "kestrun/core/settings.h"
#include "kestrun/update/engine_wait.h"
#include "kestrun/update/program_replace.h"
#include "kestrun/update/update_socket.h"
#include "kestrun/update/wire_protocol.h"
#include "platform/clock.h"
#include "platform/file_time.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"

#include <QCoreApplication>

#include <atomic>
#include <random>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kLanguageFileMode = 0644;
constexpr unsigned kAnyExecuteBit = 0111;

std::string ownTemporaryPrefix() {
    return std::string(LanguageMirror::kTemporaryPrefix) + "-" +
           std::to_string(QCoreApplication::applicationPid()) + "-";
}

} // namespace

void LanguageMirror::update() {
    const Settings& settings = engine_.settings;
    const std::string host = settings.uhost;
    budget_.emplace(limits_, engine_.log, engine_.wait.clock().monotonicMs());
    std::optional<std::string> list;
    {
        CUpdateSocket socket(engine_.wait);
        if (!socket.connectTo(host, settings.uport)) {
            engine_.log.log("Update server 7 is down: " + host);
            return;
        }
        socket.setReplyLimit(withinRun(CUpdateSocket::kReplyLimit));
        socket.send(wire::kGetLang);
        list = socket.readUntilClosed(kListLimit);
    }
    if (list && list->starts_with(wire::kEmptyList))
        return;
    const std::vector<wire::ListEntry> entries =
        list ? wire::parseFileList(*list) : std::vector<wire::ListEntry>();
    if (!list || entries.size() > kEntryLimit) {
        engine_.log.log("Update server 7 sent no whole list: " + host);
        return;
    }

    const std::string program = executablePath(settings.ufile);
    const auto slash = lastPathSeparator(program);
    if (slash == std::string::npos)
        return; // no folder to mirror into
    const fs::path folder(program.substr(0, slash + 1));
    removeLeftovers(folder);
    std::vector<std::string> programs = programs_;
    programs.push_back(fileNameOf(program));
    const bool changed = mirrorAll(folder, entries, programs);
    budget_->finish();
    if (notUpdated_ > kNotUpdatedLines)
        engine_.log.log(std::to_string(notUpdated_ - kNotUpdatedLines) +
                        " more Language files were not updated");
    if (!changed)
        return;
    runCountdown(settings.upost, kZelmoCountdownMessage, engine_.balloon, engine_.wait);
    closeProgramByName(engine_.processes, program);
}

bool LanguageMirror::mirrorAll(const fs::path& folder, const std::vector<wire::ListEntry>& entries,
                               const std::vector<std::string>& programs) {
    const auto mayWrite = [&](std::string_view name) {
        return isMirrorableName(name) && runnableNameReason(name, programs).empty() &&
               !parseBackupName(name);
    };
    budget_->scan(folder, mayWrite);
    bool changed = false;
    for (const wire::ListEntry& entry : entries) {
        if (budget_->timeIsUp(engine_.wait.clock().monotonicMs()))
            break;
        if (!isMirrorableName(entry.name))
            continue;
        std::string reason = runnableNameReason(entry.name, programs);
        // The mirror keeps its backups under such names and removes the old ones.
        if (reason.empty() && parseBackupName(entry.name))
            reason = "the name of a backup";
        if (!reason.empty()) {
            notUpdated(entry.name, reason);
            continue;
        }
        // A stamp that names no time could not be given to the file, which would then be
        // fetched again at every poll: such a line is not read, like one without a tab.
        const auto stamp = wire::parseStamp(entry.stamp);
        const auto second = stamp ? epochSecondsOfLocal(*stamp) : std::nullopt;
        if (second && mirror(folder, entry.name, entry.stamp, *second))
            changed = true;
    }
    return changed;
}

std::chrono::milliseconds LanguageMirror::withinRun(std::chrono::milliseconds limit) const {
    return std::min(limit, budget_->timeLeft(engine_.wait.clock().monotonicMs()));
}

void LanguageMirror::notUpdated(const std::string& name, std::string_view reason) {
    if (notUpdated_++ < kNotUpdatedLines)
        engine_.log.log(name + " Language file was not updated" +
                        (reason.empty() ? "" : ": " + std::string(reason)));
}

fs::path LanguageMirror::temporaryIn(const fs::path& folder) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    return folder / (ownTemporaryPrefix() + std::to_string(salt) + "-" + std::to_string(++counter) +
                     std::string(kTemporarySuffix));
}

void LanguageMirror::removeLeftovers(const fs::path& folder) {
    // Names of this process are transfers still running (another mirror of this program); a
    // name of another user's is that user's to remove.
    const std::string own = ownTemporaryPrefix();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix) &&
            !name.starts_with(own) && isOwnRegularFile(it->path())) {
            std::error_code removeError;
            fs::remove(it->path(), removeError);
        }
    }
}

bool LanguageMirror::mirror(const fs::path& folder, const std::string& name,
                            std::string_view serverStamp, std::int64_t serverEpochSecond) {
    const fs::path local = folder / name;
    std::error_code ec;
    const auto status = fs::symlink_status(local, ec);
    NewFileMode mode = newFileModeIn(folder, kLanguageFileMode);
    std::int64_t oldBytes = 0; // what the replaced file takes
    if (!ec && fs::exists(status)) {
        // Only a plain file that cannot run is replaced: a link could lead out of the folder.
        if (fs::is_symlink(status)) {
            notUpdated(name, "a link is in its place");
            return false;
        }
        if (!fs::is_regular_file(status))
            return false;
        const unsigned bits = static_cast<unsigned>(status.permissions()) & 07777;
        if (bits & kAnyExecuteBit) {
            notUpdated(name, "an executable file is in its place");
            return false;
        }
        const auto modified = localModificationTime(local);
        const auto bytes = fs::file_size(local, ec);
        if (!modified || ec)
            return false;
        const std::string localStamp = modified->format("%y%m%d%H%M%S");
        if (!(localStamp < serverStamp))
            return false;
        oldBytes = static_cast<std::int64_t>(bytes);
        if (!budget_->fits(oldBytes))
            return false;
        const fs::path backup = folder / backupName(name, localStamp);
        // An old backup is overwritten, but never through a link.
        if (fs::is_symlink(fs::symlink_status(backup, ec)))
            fs::remove(backup, ec);
        // Without its backup the file is the user's only copy: it is not touched.
        const bool backedUp =
            fs::copy_file(local, backup, fs::copy_options::overwrite_existing, ec);
        budget_->wrote(oldBytes);
        if (!backedUp) {
            notUpdated(name);
            return false;
        }
        budget_->backedUp(name, localStamp, oldBytes);
        mode = {bits & 0666, std::nullopt}; // the new file keeps the old one's access
    } else if (ec && ec != std::errc::no_such_file_or_directory) {
        return false; // a name the file system cannot even look up
    }

    const std::int64_t size = askSize(name);
    if (size <= 0)
        return false;
    if (size > kFileLimit) {
        notUpdated(name, "larger than " + std::to_string(kFileLimit) + " bytes");
        return false;
    }
    if (!budget_->fits(size))
        return false;
    // The new content goes to a name of our own and takes the file's place only when it is
    // whole.
    const fs::path temp = temporaryIn(folder);
    std::optional<bool> complete;
    {
        const FileDescriptor out = createNewRegularFile(temp, 0600);
        if (!out)
            return false;
        complete = fetch(out, name, size);
        if (complete && *complete)
            *complete = applyNewFileMode(out, mode) && setModifiedTime(out, serverEpochSecond, 0) &&
                        syncToDisk(out);
    }
    if (complete && *complete) {
        fs::rename(temp, local, ec);
        *complete = !ec;
    }
    if (!complete || !*complete)
        fs::remove(temp, ec);
    if (!complete)
        return false; // no connection: skipped silently
    if (*complete) {
        budget_->grew(size - oldBytes);
        engine_.log.log(name + " Language file was updated");
    } else if (!budget_->timeIsUp(engine_.wait.clock().monotonicMs())) {
        notUpdated(name); // a transfer the run's end cut off has that line instead
    }
    return *complete;
}

std::int64_t LanguageMirror::askSize(const std::string& name) {
    CUpdateSocket socket(engine_.wait);
    if (!socket.connectTo(engine_.settings.uhost, engine_.settings.uport))
        return 0;
    socket.setReplyLimit(withinRun(CUpdateSocket::kReplyLimit));
    socket.send(wire::getSizeRequest(name));
    return wire::parseSizeReply(socket.readUntilClosed(wire::kReadSize * 4).value_or(""));
}

std::optional<bool> LanguageMirror::fetch(const FileDescriptor& out, const std::string& name,
                                          std::int64_t size) {
    CUpdateSocket socket(engine_.wait);
    if (!socket.connectTo(engine_.settings.uhost, engine_.settings.uport))
        return std::nullopt;
    // The whole body has a limit as well as its stall limit: a peer that trickles a byte now
    // and then holds the client no longer than the size allows.
    socket.setReplyLimit(
        withinRun(CUpdateSocket::kReplyLimit + std::chrono::milliseconds(size * 1000 / kBodyRate)));
    socket.send(wire::getFileRequest(name));
    Clock& clock = engine_.wait.clock();
    std::int64_t received = 0;
    std::uint64_t lastByteMs = clock.monotonicMs();
    while (received < size) {
        const auto idle = std::chrono::milliseconds(clock.monotonicMs() - lastByteMs);
        if (idle >= kStallLimit)
            break;
        const auto piece = socket.read(wire::kReadSize, kStallLimit - idle);
        // Nothing more can come once the connection has ended, however it ended (bytes it
        // left behind are still read as data), or once the body's time is up.
        if (piece.status == CUpdateSocket::ReadStatus::Closed ||
            piece.status == CUpdateSocket::ReadStatus::Expired ||
            (piece.status == CUpdateSocket::ReadStatus::Failed && !socket.connected()))
            break;
        if (piece.status != CUpdateSocket::ReadStatus::Data)
            continue; // the read's own deadline: bytes may still come until the stall limit
        // Bytes beyond the announced size are not the file's.
        const auto take =
            std::min<std::int64_t>(static_cast<std::int64_t>(piece.bytes.size()), size - received);
        budget_->wrote(take);
        if (!writeAll(out, std::string_view(piece.bytes).substr(0, static_cast<std::size_t>(take))))
            return false;
        received += take;
        lastByteMs = clock.monotonicMs();
    }
    return received == size;
}

} // namespace kestrun
