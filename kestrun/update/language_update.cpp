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
    std::optional<std::string> list;
    {
        CUpdateSocket socket(engine_.wait);
        if (!socket.connectTo(host, settings.uport)) {
            engine_.log.log("Update server 7 is down: " + host);
            return;
        }
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
    const auto slash = program.rfind('/');
    if (slash == std::string::npos)
        return; // no folder to mirror into
    const fs::path folder(program.substr(0, slash + 1));
    removeLeftovers(folder);
    std::vector<std::string> programs = programs_;
    programs.push_back(fileNameOf(program));
    bool changed = false;
    for (const wire::ListEntry& entry : entries) {
        if (!isMirrorableName(entry.name))
            continue;
        if (const std::string reason = runnableNameReason(entry.name, programs); !reason.empty()) {
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
    if (notUpdated_ > kNotUpdatedLines)
        engine_.log.log(std::to_string(notUpdated_ - kNotUpdatedLines) +
                        " more Language files were not updated");
    if (!changed)
        return;
    runCountdown(settings.upost, kZelmoCountdownMessage, engine_.balloon, engine_.wait);
    closeProgramByName(engine_.processes, program);
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
        if (!modified)
            return false;
        const std::string localStamp = modified->format("%y%m%d%H%M%S");
        if (!(localStamp < serverStamp))
            return false;
        fs::path backup = local;
        backup += "-----" + localStamp;
        // An old backup is overwritten, but never through a link.
        if (fs::is_symlink(fs::symlink_status(backup, ec)))
            fs::remove(backup, ec);
        // Without its backup the file is the user's only copy: it is not touched.
        if (!fs::copy_file(local, backup, fs::copy_options::overwrite_existing, ec)) {
            notUpdated(name);
            return false;
        }
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
    if (*complete)
        engine_.log.log(name + " Language file was updated");
    else
        notUpdated(name);
    return *complete;
}

std::int64_t LanguageMirror::askSize(const std::string& name) {
    CUpdateSocket socket(engine_.wait);
    if (!socket.connectTo(engine_.settings.uhost, engine_.settings.uport))
        return 0;
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
    socket.setReplyLimit(CUpdateSocket::kReplyLimit +
                         std::chrono::milliseconds(size * 1000 / kBodyRate));
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
        if (!writeAll(out, std::string_view(piece.bytes).substr(0, static_cast<std::size_t>(take))))
            return false;
        received += take;
        lastByteMs = clock.monotonicMs();
    }
    return received == size;
}

} // namespace kestrun
