#include "kestrun/update/self_update.h"

#include "kestrun/core/event_log.h"
#include "kestrun/update/web_kinds.h"
#include "platform/list_file.h"
#include "platform/program_launcher.h"
#include "platform/regular_file.h"
#include "platform/service_manager.h"
#include "platform/shared_folder.h"
#include "release/companion_copy.h"
#include "release/handover_files.h"
#include "release/program_names.h"
#include "release/release_signature.h"

#include <cstdlib>
#include <string>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// Each program's bare name (its signature's and its log lines'), its installed file and the
// line of a companion put in place.
struct ProgramNames {
    std::string_view bare;
    std::string installed;
    const char* updatedLine;
};

ProgramNames namesOf(OwnProgram program) {
    switch (program) {
    case OwnProgram::Kestrun:
        return {kKestrunProgram, programFileName(kKestrunProgram), nullptr};
    case OwnProgram::Kbm:
        return {kBackupProgram, programFileName(kBackupProgram), "kbm was updated."};
    case OwnProgram::Updater:
        break;
    }
    return {kUpdaterProgram, programFileName(kUpdaterProgram), "kvu was updated."};
}

int kindOf(OwnProgram program) {
    return static_cast<int>(program);
}

// The Kestrun that was rolled back last, if any.
std::optional<FileVersion> failedRelease(const fs::path& workingFolder) {
    const auto text = readRegularFile(workingFolder / failedReleaseName(), 64);
    return text ? parseVersionText(*text) : std::nullopt;
}

} // namespace

SelfUpdate::SelfUpdate(WebUpdates web, const EventLog& log, ProgramLauncher& launcher,
                       fs::path workingFolder, EndProcess endProcess, fs::path currentFolder,
                       HandOver handOver)
    : web_(std::move(web)), log_(log), launcher_(launcher),
      workingFolder_(std::move(workingFolder)), endProcess_(std::move(endProcess)),
      currentFolder_(std::move(currentFolder)), handOver_(handOver) {}

fs::path SelfUpdate::localFile(OwnProgram program) const {
    return workingFolder_ / downloadKind(kindOf(program))->localName;
}

std::optional<ReleaseFile> SelfUpdate::fetchIfNewer(OwnProgram program,
                                                    const FileVersion& installed) {
    const auto published = web_.readWebVersion(kindOf(program));
    if (!published) {
        log_.log(kNoConnection);
        return std::nullopt;
    }
    if (!(installed < *published))
        return std::nullopt;
    const auto failed =
        program == OwnProgram::Kestrun ? failedRelease(workingFolder_) : std::nullopt;
    if (failed && !(*failed < *published))
        return std::nullopt; // its rollback was logged; a newer one is taken again
    if (!web_.download(kindOf(program))) {
        // Also an older file of that name, which a download that could not be saved left.
        removeDownload(program);
        log_.log(kDownloadFailed);
        return std::nullopt;
    }
    // The download is read once: its version and its signature are checked on these bytes,
    // and a companion is put in place from them.
    auto release = readReleaseFile(localFile(program));
    if (!release) {
        refuse(program, "it could not be read to check its signature");
        return std::nullopt;
    }
    // The manifest only says what to fetch: the file itself must be newer.
    const FileVersion downloaded = release->version.value_or(FileVersion{});
    std::string refusal;
    if (!(installed < downloaded))
        refusal = "its version " + downloaded.text() + " is not newer than the installed " +
                  installed.text();
    else if (failed && !(*failed < downloaded))
        refusal = "its version " + downloaded.text() + " is not newer than the Kestrun " +
                  failed->text() + " that was rolled back";
    if (!refusal.empty()) {
        refuse(program, refusal);
        return std::nullopt;
    }
    if (!keepIfSigned(program, *release))
        return std::nullopt;
    return release;
}

bool SelfUpdate::keepIfSigned(OwnProgram program, const ReleaseFile& release) {
    const auto signature = web_.fetchSignature(kindOf(program));
    std::string refusal = releaseRefusal(namesOf(program).bare, release, signature, workingFolder_);
    // The updater checks Kestrun's signature again before it puts the new file in place.
    if (refusal.empty() && program == OwnProgram::Kestrun &&
        !replaceFile(workingFolder_ / newSignatureName(), *signature))
        refusal = "its signature could not be saved";
    if (refusal.empty())
        return true;
    refuse(program, refusal);
    return false;
}

void SelfUpdate::refuse(OwnProgram program, const std::string& reason) {
    removeDownload(program);
    log_.log(std::string(kRefused) + std::string(namesOf(program).bare) +
             ", download deleted: " + reason);
}

void SelfUpdate::removeDownload(OwnProgram program) {
    std::error_code ec;
    fs::remove(localFile(program), ec);
    if (program == OwnProgram::Kestrun)
        fs::remove(workingFolder_ / newSignatureName(), ec);
}

void SelfUpdate::checkKestrun() {
    const auto installed = readFileVersion(currentFolder_ / namesOf(OwnProgram::Kestrun).installed);
    if (!installed || !fetchIfNewer(OwnProgram::Kestrun, *installed))
        return;
    // The updater can only replace Kestrun once it has ended; without an updater Kestrun stays,
    // and the next check tries again. Only the working folder's own updater takes over, and
    // only one that no one else may change: it runs as this user and replaces Kestrun.
    // Under a service manager the updater runs before the service starts Kestrun again (the
    // unit runs it first), so it is only checked: a copy started here would run outside the
    // service, while the service's own restart met it as a second instance.
    const fs::path updater = workingFolder_ / namesOf(OwnProgram::Updater).installed;
    std::error_code ec;
    const bool present = fs::exists(fs::symlink_status(updater, ec));
    if (present && othersMayChangeFile(updater)) {
        log_.log(std::string(kUpdaterRefused) + updater.string());
        return;
    }
    const bool started = present && (handOver_ == HandOver::ServiceRestarts ||
                                     launcher_.start(updater.string(), "", workingFolder_, false));
    if (!started) {
        log_.log(std::string(kUpdaterNotStarted) + updater.string());
        return;
    }
    log_.log(kHandingOver);
    endProcess_(kHandOverStatus);
}

void SelfUpdate::checkCompanion(OwnProgram companion) {
    if (companion == OwnProgram::Kestrun)
        return;
    const ProgramNames names = namesOf(companion);
    const FileVersion installed =
        readFileVersion(currentFolder_ / names.installed).value_or(FileVersion{});
    const auto release = fetchIfNewer(companion, installed);
    if (release && putProgramInPlace(release->content, workingFolder_ / names.installed))
        log_.log(names.updatedLine);
}

void confirmFirstCheck(const fs::path& workingFolder) {
    std::error_code ec;
    fs::remove(workingFolder / trialMarkerName(), ec);
}

void endProcessNow(int status) {
    std::_Exit(status);
}

void endCleanly(const fs::path& workingFolder) {
    confirmFirstCheck(workingFolder);
    endProcessNow(0);
}

SelfUpdate programSelfUpdate(const Settings& settings, const EventLog& log,
                             ProgramLauncher& launcher, const fs::path& workingFolder) {
    return SelfUpdate(WebUpdates(settings, log, workingFolder), log, launcher, workingFolder,
                      endProcessNow, {},
                      runsAsService() ? SelfUpdate::HandOver::ServiceRestarts
                                      : SelfUpdate::HandOver::StartUpdater);
}

} // namespace kestrun
