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

#include <fstream>

namespace kestrun {

namespace fs = std::filesystem;

bool isMirrorableName(std::string_view name) {
    return wire::isPlainFileName(name) && name.find("..") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

void LanguageMirror::update() {
    const Settings& settings = engine_.settings;
    const std::string host = settings.uhost;
    std::string list;
    {
        CUpdateSocket socket(engine_.wait);
        if (!socket.connectTo(host, settings.uport)) {
            engine_.log.log("Update server 7 is down: " + host);
            return;
        }
        socket.send(wire::kGetLang);
        list = socket.readUntilClosed(kListLimit);
    }
    if (list.starts_with(wire::kEmptyList))
        return;

    const std::string program = executablePath(settings.ufile);
    const auto slash = program.rfind('/');
    const bool hasFolder = slash != std::string::npos;
    const fs::path folder = hasFolder ? fs::path(program.substr(0, slash + 1)) : fs::path();
    bool changed = false;
    for (const wire::ListEntry& entry : wire::parseFileList(list)) {
        if (!hasFolder || !isMirrorableName(entry.name))
            continue;
        if (mirror(folder, entry.name, entry.stamp))
            changed = true;
    }
    if (!changed)
        return;
    runCountdown(settings.upost, kZelmoCountdownMessage, engine_.balloon, engine_.wait);
    closeProgramByName(engine_.processes, program);
}

bool LanguageMirror::mirror(const fs::path& folder, const std::string& name,
                            std::string_view serverStamp) {
    const fs::path local = folder / name;
    std::error_code ec;
    const auto status = fs::symlink_status(local, ec);
    if (!ec && fs::exists(status)) {
        // Only a plain file is replaced: a link could lead out of the folder.
        if (!fs::is_regular_file(status))
            return false;
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
            engine_.log.log(name + " Language file was not updated");
            return false;
        }
    } else if (ec && ec != std::errc::no_such_file_or_directory) {
        return false; // a name the file system cannot even look up
    }

    const std::int64_t size = askSize(name);
    if (size <= 0)
        return false;
    bool opened = false;
    const bool complete = fetch(local, name, size, opened);
    if (!opened)
        return false;
    if (complete) {
        engine_.log.log(name + " Language file was updated");
        return true;
    }
    fs::remove(local, ec);
    engine_.log.log(name + " Language file was not updated");
    return false;
}

std::int64_t LanguageMirror::askSize(const std::string& name) {
    CUpdateSocket socket(engine_.wait);
    if (!socket.connectTo(engine_.settings.uhost, engine_.settings.uport))
        return 0;
    socket.send(wire::getSizeRequest(name));
    return wire::parseSizeReply(socket.readUntilClosed(wire::kReadSize * 4));
}

bool LanguageMirror::fetch(const fs::path& file, const std::string& name, std::int64_t size,
                           bool& opened) {
    CUpdateSocket socket(engine_.wait);
    if (!socket.connectTo(engine_.settings.uhost, engine_.settings.uport))
        return false;
    socket.send(wire::getFileRequest(name));
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    opened = true;
    Clock& clock = engine_.wait.clock();
    std::int64_t received = 0;
    std::uint64_t lastByteMs = clock.monotonicMs();
    while (received < size) {
        const auto idle = std::chrono::milliseconds(clock.monotonicMs() - lastByteMs);
        if (idle >= kStallLimit)
            break;
        const auto piece = socket.read(wire::kReadSize, kStallLimit - idle);
        // Nothing more can come once the connection has ended, however it ended (bytes it
        // left behind are still read as data).
        if (piece.status == CUpdateSocket::ReadStatus::Closed ||
            (piece.status == CUpdateSocket::ReadStatus::Failed && !socket.connected()))
            break;
        if (piece.status != CUpdateSocket::ReadStatus::Data)
            continue; // the read's own deadline: bytes may still come until the stall limit
        // Bytes beyond the announced size are not the file's.
        const auto take =
            std::min<std::int64_t>(static_cast<std::int64_t>(piece.bytes.size()), size - received);
        out.write(piece.bytes.data(), static_cast<std::streamsize>(take));
        if (!out)
            return false;
        received += take;
        lastByteMs = clock.monotonicMs();
    }
    out.close();
    return received == size && !out.fail();
}

} // namespace kestrun
