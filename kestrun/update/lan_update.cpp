#include "kestrun/update/lan_update.h"

#include "common/file_version.h"
#include "kestrun/core/event_log.h"
#include "kestrun/core/settings.h"
#include "kestrun/update/engine_wait.h"
#include "kestrun/update/program_replace.h"
#include "kestrun/update/update_socket.h"
#include "kestrun/update/web_updates.h"
#include "kestrun/update/wire_protocol.h"
#include "platform/clock.h"
#include "release/companion_copy.h"

#include <algorithm>
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

bool InstallRefusal::holds(const std::string& situation, std::uint64_t nowMs) const {
    return atMs && what == situation &&
           nowMs - *atMs <
               static_cast<std::uint64_t>(
                   std::chrono::duration_cast<std::chrono::milliseconds>(kBackOff).count());
}

bool InstallRefusal::refuse(const std::string& situation, const std::string& reason,
                            std::uint64_t nowMs) {
    const bool news = !atMs || what != situation || why != reason;
    what = situation;
    why = reason;
    atMs = nowMs;
    return news;
}

LanUpdateClient::LanUpdateClient(UpdateEngine engine, const WebUpdates& web, fs::path workingFolder,
                                 InstallRefusal& refusal)
    : engine_(std::move(engine)), web_(web), workingFolder_(std::move(workingFolder)),
      refusal_(refusal) {}

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
    // The server may slow the polls to one a day but never stop them. Below 0 counts as 0: a
    // poll at every 5-second beat, as 0 to 4 give, the shortest time there is between polls.
    settings.upull =
        static_cast<std::uint32_t>(std::clamp<std::int32_t>(*parsed.upull, 0, kPullLimitSeconds));

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
    situation_ = program + " " + localVersion->text() + " to " + serverVersion->text();
    if (refusal_.holds(situation_, engine_.wait.clock().monotonicMs()))
        return; // refused a while ago, and nothing has changed since
    const auto webVersion = web_.readWebVersion(kZelmoKind);
    if (!webVersion) {
        if (!web_.lastFailureWasTls()) // that failure has its line with its reason
            log.log("Could not connect: " + settings.uhttp);
        return;
    }
    if (*webVersion != *serverVersion) {
        log.log("Found old version on web: " + settings.uhttp);
        return;
    }
    if (const auto why = replacementRefusal(fs::path(program).parent_path())) {
        refuse(program, *why);
        return;
    }
    if (!web_.download(kZelmoKind)) {
        log.log("Error in downloading update from web: " + settings.uhttp);
        return;
    }
    if (installable(*serverVersion))
        install(program, localVersion->text());
}

void LanUpdateClient::refuse(const std::string& program, const std::string& why) {
    if (refusal_.refuse(situation_, why, engine_.wait.clock().monotonicMs()))
        engine_.log.log(program + " can not be replaced: " + why);
}

// Only the version the server runs is installed: a site whose manifest and file disagree
// would otherwise install another version at every poll.
bool LanUpdateClient::installable(const FileVersion& serverVersion) {
    const fs::path downloaded = workingFolder_ / kDownloadedName;
    const auto version = readFileVersion(downloaded);
    if (version && *version == serverVersion)
        return true;
    const std::string versionText = version ? version->text() : "none";
    engine_.log.log("Update not installed, version: " + versionText +
                    ", server version: " + serverVersion.text() + ", file: " + downloaded.string());
    std::error_code ec;
    fs::remove(downloaded, ec);
    refusal_.refuse(situation_, "the download is version " + versionText,
                    engine_.wait.clock().monotonicMs());
    return false;
}

// Replaces the client application's executable by the downloaded one; the old one stays
// beside it under its versioned name. The new file takes the program's place by a rename, so
// the program is whole at every moment; when it cannot, the old one is moved back.
void LanUpdateClient::install(const std::string& program, const std::string& versionText) {
    const EventLog& log = engine_.log;
    closeProgramByName(engine_.processes, program);
    engine_.wait.wait(std::chrono::milliseconds(2000));

    std::error_code ec;
    const fs::file_status status = fs::status(program, ec);
    std::optional<unsigned> mode;
    if (!ec && fs::exists(status))
        mode = static_cast<unsigned>(status.permissions()) & 07777;
    const std::string versioned = program + "." + versionText;
    bool movedAside = false;
    if (!fs::exists(fs::symlink_status(versioned, ec))) {
        fs::rename(program, versioned, ec);
        if (ec) {
            refuse(program, ec.message());
            return;
        }
        log.log("Renaming " + program + " to " + versioned);
        movedAside = true;
    }
    // A step that failed after the program was moved aside puts it back, and the same update
    // is not tried again (nor the program closed for it) for a while.
    const auto fail = [&](const std::string& line) {
        log.log(line);
        if (movedAside) {
            std::error_code back;
            fs::rename(versioned, program, back);
            if (!back)
                log.log("Renaming " + versioned + " to " + program);
        }
        refusal_.refuse(situation_, line, engine_.wait.clock().monotonicMs());
    };
    const fs::path downloaded = workingFolder_ / kDownloadedName;
    const std::string downloadedText = downloaded.string();
    if (!fs::exists(downloaded, ec)) {
        fail("Could not find uploaded file: " + downloadedText);
        return;
    }
    if (!copyProgramInPlace(downloaded, program, mode)) {
        fail("Could not copy new file: " + downloadedText);
        return;
    }
    log.log("Copiyng " + downloadedText + " to " + program);
    refusal_ = {};
    if (!fs::remove(downloaded, ec) || ec)
        return;

    CUpdateSocket done(engine_.wait);
    if (done.connectTo(engine_.settings.uhost, engine_.settings.uport))
        done.send(wire::kDone);
    log.log("Zelmo was updated");
}

} // namespace kestrun
