#include "kestrun/update/lan_update.h"

#include "common/file_version.h"
#include "kestrun/core/event_log.h"
#include "kestrun/core/settings.h"
#include "kestrun/update/engine_wait.h"
#include "kestrun/update/program_replace.h"
#include "kestrun/update/update_socket.h"
#include "kestrun/update/web_updates.h"
#include "kestrun/update/wire_protocol.h"

#include <optional>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr int kZelmoKind = 0;

// One exchange that wants one reply: nullopt when the server is down (no connect), an empty
// optional reply text when the server is busy (it closed without answering).
struct OneReply {
    bool connected = false;
    bool busy = false;
    std::string text;
};

OneReply askOnce(EngineWait& wait, const std::string& host, std::int64_t port,
                 std::string_view request) {
    OneReply result;
    CUpdateSocket socket(wait);
    if (!socket.connectTo(host, port))
        return result;
    result.connected = true;
    socket.send(request);
    const auto read = socket.read(wire::kReadSize);
    if (read.status == CUpdateSocket::ReadStatus::Closed)
        result.busy = true;
    else if (read.status == CUpdateSocket::ReadStatus::Data)
        result.text = std::string(wire::untilNul(read.bytes));
    return result;
}

} // namespace

LanUpdateClient::LanUpdateClient(UpdateEngine engine, const WebUpdates& web, fs::path workingFolder)
    : engine_(std::move(engine)), web_(web), workingFolder_(std::move(workingFolder)) {}

void LanUpdateClient::check() {
    Settings& settings = engine_.settings;
    const EventLog& log = engine_.log;
    const std::string host = settings.uhost;
    const std::int64_t port = settings.uport;

    // A reply that did not come, or came from a busy server, ends the check with its line;
    // the number says which of the two requests it was.
    const auto answered = [&](const OneReply& reply, const char* which) {
        if (!reply.connected || reply.busy)
            log.log(std::string("Update server ") + which +
                    (reply.connected ? " is busy: " : " is down: ") + host);
        return reply.connected && !reply.busy;
    };
    const OneReply state = askOnce(engine_.wait, host, port, wire::kGetState);
    if (!answered(state, "1"))
        return;
    const wire::StateReply parsed = wire::parseStateReply(state.text);
    if (!parsed.upost)
        return;
    settings.upost = static_cast<std::uint32_t>(*parsed.upost);
    if (!parsed.upull)
        return;
    settings.upull = static_cast<std::uint32_t>(*parsed.upull);

    const std::string program = executablePath(settings.ufile);
    if (parsed.busy.value_or(0) != 0) {
        runCountdown(settings.upost, kZelmoCountdownMessage, engine_.balloon, engine_.wait);
        closeProgramByName(engine_.processes, program);
        return;
    }

    engine_.wait.wait(std::chrono::milliseconds(1000));
    const OneReply version = askOnce(engine_.wait, host, port, wire::kGetVer);
    if (!answered(version, "2"))
        return;
    const auto serverVersion = wire::parseVersionReply(version.text);
    if (!serverVersion) {
        log.log("Error in getVer request: " + version.text);
        return;
    }
    const auto localVersion = readFileVersion(program);
    if (!localVersion || !(*localVersion < *serverVersion))
        return;
    const auto webVersion = web_.readWebVersion(kZelmoKind);
    if (!webVersion) {
        log.log("Could not connect: " + settings.uhttp);
        return;
    }
    if (*webVersion != *serverVersion) {
        log.log("Found old version on web: " + settings.uhttp);
        return;
    }
    if (!web_.download(kZelmoKind)) {
        log.log("Error in downloading update from web: " + settings.uhttp);
        return;
    }
    install(program, localVersion->text());
}

// Replaces the client application's executable by the downloaded one; the old one stays
// beside it under its versioned name.
void LanUpdateClient::install(const std::string& program, const std::string& versionText) {
    const EventLog& log = engine_.log;
    closeProgramByName(engine_.processes, program);
    engine_.wait.wait(std::chrono::milliseconds(2000));

    const std::optional<fs::perms> mode = fileMode(program);
    const std::string versioned = program + "." + versionText;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(versioned, ec))) {
        fs::rename(program, versioned, ec);
        if (ec)
            return; // the file system refused: no copy, no report
        log.log("Renaming " + program + " to " + versioned);
    }
    const fs::path downloaded = workingFolder_ / kDownloadedName;
    const std::string downloadedText = downloaded.string();
    if (!fs::exists(downloaded, ec)) {
        log.log("Could not find uploaded file: " + downloadedText);
        return;
    }
    if (!copyExecutable(downloaded, program, mode)) {
        log.log("Could not copy new file: " + downloadedText);
        return;
    }
    log.log("Copiyng " + downloadedText + " to " + program);
    if (!fs::remove(downloaded, ec) || ec)
        return;

    CUpdateSocket done(engine_.wait);
    if (done.connectTo(engine_.settings.uhost, engine_.settings.uport))
        done.send(wire::kDone);
    log.log("Zelmo was updated");
}

} // namespace kestrun
