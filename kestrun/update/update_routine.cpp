#include "kestrun/update/update_routine.h"

#include "kestrun/core/event_log.h"
#include "platform/clock.h"
#include "platform/process_table.h"
#include "release/companion_copy.h"

#include <chrono>
#include <system_error>

namespace kestrun {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kClientDownloadKind = 0;
constexpr int kServerDownloadKind = 4;
constexpr int kZelmoManifestKind = 0;
constexpr auto kAfterClose = 2000ms;
constexpr auto kCountdownStep = 1000ms;
constexpr std::uint64_t kBalloonEvery = 10;

std::string countdownText(std::uint64_t secondsLeft) {
    return "Zelmo server will be updated in " + std::to_string(secondsLeft) +
           " seconds. Please be patient.";
}

// Clears the busy flag however the worker ends.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<std::int32_t>& busy) : busy_(busy) {}
    ~BusyGuard() { busy_ = 0; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    std::atomic<std::int32_t>& busy_;
};

bool pathExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

} // namespace

UpdateRoutine::UpdateRoutine(const Settings& settings, std::atomic<std::int32_t>& busy,
                             const EventLog& log, fs::path workingFolder, Clock& clock,
                             ProcessTable& processes, RoutineUser& user)
    : settings_(settings), busy_(busy), log_(log), workingFolder_(std::move(workingFolder)),
      clock_(clock), processes_(processes), user_(user) {}

UpdateRoutine::~UpdateRoutine() {
    std::lock_guard lock(workersMutex_);
    for (std::jthread& worker : workers_)
        worker.request_stop();
    workers_.clear(); // joins
}

void UpdateRoutine::waitForWorkers() {
    std::list<std::jthread> ending;
    {
        std::lock_guard lock(workersMutex_);
        ending.swap(workers_);
    }
    for (std::jthread& worker : ending)
        worker.join();
}

std::uint64_t UpdateRoutine::waitSeconds(std::uint32_t upost, std::uint32_t upull) {
    const std::uint32_t sum = upost + upull; // wraps like the 32-bit word it is
    return static_cast<std::uint64_t>(sum) * 3 / 2;
}

WebUpdates UpdateRoutine::web(const Settings& settings) const {
    WebUpdates web(settings, log_, workingFolder_);
    if (downloadLimits_)
        web.setDownloadLimits(*downloadLimits_);
    if (manifestLimits_)
        web.setManifestLimits(*manifestLimits_);
    return web;
}

bool UpdateRoutine::run() {
    if (!user_.acceptHistory())
        return false;
    if (!user_.askYesNo(kConfirm, RoutineUser::Symbol::Stop, true))
        return false;
    const FileVersion installed =
        readFileVersion(executablePath(settings_.ufile)).value_or(FileVersion{});
    const WebUpdates site = web(settings_);
    const auto offered = site.readWebVersion(kZelmoManifestKind);
    if (!offered) {
        user_.tell(kNoInformation + settings_.uhttp, RoutineUser::Symbol::Exclamation);
        return false;
    }
    if (installed > *offered)
        return false;
    if (installed == *offered && user_.askYesNo(kLatest, RoutineUser::Symbol::Question, false))
        return false;
    if (!site.download(kServerDownloadKind)) {
        user_.tell(kDownloadError + settings_.uhttp, RoutineUser::Symbol::Exclamation);
        return false;
    }
    busy_ = 1;
    // The worker works on the settings as they are now: the window may change its own record
    // meanwhile.
    auto snapshot = std::make_shared<const Settings>(settings_);
    std::lock_guard lock(workersMutex_);
    workers_.emplace_back(
        [this, snapshot](std::stop_token stop) { work(*snapshot, std::move(stop)); });
    return true;
}

void UpdateRoutine::work(const Settings& settings, std::stop_token stop) {
    BusyGuard clearBusy(busy_);
    if (!countDown(waitSeconds(settings.upost, settings.upull), stop))
        return;
    const fs::path server = executablePath(settings.ufile);
    if (!closeProgram(server, stop))
        return;
    std::optional<fs::path> movedTo;
    bool done = backUp(server, movedTo) &&
                replace(workingFolder_ / kServerDownload,
                        (workingFolder_ / kServerDownloadLogName).string(), server, movedTo);
    if (done) {
        log_.log("Zelmo server was updated");
        if (settings.umode == 3)
            done = updateClient(settings, stop);
    }
    if (!done && !stop.stop_requested())
        user_.tell(kFailed, RoutineUser::Symbol::Stop);
}

bool UpdateRoutine::countDown(std::uint64_t seconds, std::stop_token stop) {
    for (std::uint64_t i = 0; i < seconds; ++i) {
        const std::string text = countdownText(seconds - i);
        clock_.sleepFor(kCountdownStep, stop);
        if (stop.stop_requested())
            return false;
        if (i % kBalloonEvery == 0)
            user_.balloon(text);
    }
    user_.balloon({});
    return true;
}

bool UpdateRoutine::closeProgram(const fs::path& program, std::stop_token stop) {
    processes_.closeFirst(program.filename().string());
    clock_.sleepFor(kAfterClose, stop);
    return !stop.stop_requested();
}

bool UpdateRoutine::backUp(const fs::path& program, std::optional<fs::path>& movedTo) {
    const FileVersion version = readFileVersion(program).value_or(FileVersion{});
    const fs::path backup = program.string() + "." + version.text();
    if (pathExists(backup) || !pathExists(program))
        return true;
    std::error_code error;
    fs::rename(program, backup, error);
    if (error) {
        log_.log("Could not rename " + program.string() + " to " + backup.string());
        return false;
    }
    log_.log("Renaming " + program.string() + " to " + backup.string());
    movedTo = backup;
    return true;
}

bool UpdateRoutine::replace(const fs::path& download, const std::string& logName,
                            const fs::path& program, const std::optional<fs::path>& movedTo) {
    if (!pathExists(download)) {
        log_.log("Could not find uploaded file: " + logName);
        return false;
    }
    const bool fresh = !pathExists(program);
    if (!copyProgramInPlace(download, program)) {
        log_.log("Could not copy new file: " + logName);
        return false;
    }
    std::error_code error;
    if (fresh && movedTo)
        fs::permissions(program, fs::status(*movedTo, error).permissions(),
                        fs::perm_options::replace, error);
    log_.log("Copiyng " + logName + " to " + program.string());
    fs::remove(download, error);
    return true;
}

bool UpdateRoutine::updateClient(const Settings& settings, std::stop_token stop) {
    const fs::path client = executablePath(settings.ufile2);
    if (!closeProgram(client, stop))
        return true; // stopped: no failure to report
    if (!web(settings).download(kClientDownloadKind)) {
        log_.log(kDownloadError + settings.uhttp);
        return true; // logged only, no message box
    }
    std::optional<fs::path> movedTo;
    const fs::path download = workingFolder_ / kClientDownload;
    if (!backUp(client, movedTo) || !replace(download, download.string(), client, movedTo))
        return false;
    log_.log("Zelmo client was updated");
    return true;
}

} // namespace kestrun
