#include "kestrun/update/update_coordinator.h"

#include "kestrun/core/settings.h"
#include "kestrun/supervisor/held_programs.h"
#include "kestrun/update/download_file.h"
#include "kestrun/update/engine_wait.h"
#include "kestrun/update/language_update.h"
#include "kestrun/update/program_replace.h"
#include "kestrun/update/self_update.h"
#include "kestrun/update/update_routine.h"
#include "kestrun/update/update_server_handler.h"
#include "kestrun/update/version_notice.h"
#include "kestrun/update/web_updates.h"
#include "platform/clock.h"
#include "platform/process_table.h"

#include <QAbstractSocket>

namespace kestrun {

namespace {

constexpr KsnMessage kEngineMessages[] = {KsnMessage::LanUpdate, KsnMessage::LanguageUpdate,
                                          KsnMessage::SelfUpdate, KsnMessage::KbmUpdate,
                                          KsnMessage::UpdaterUpdate};

// The waits of the engine's own thread: they block it, and end early when Kestrun ends.
class WorkerWait final : public EngineWait {
public:
    WorkerWait(Clock& clock, std::stop_token stop) : clock_(clock), stop_(std::move(stop)) {}

    Clock& clock() override { return clock_; }
    void wait(std::chrono::milliseconds duration) override { clock_.sleepFor(duration, stop_); }
    bool waitForSocket(QAbstractSocket& socket, SocketEvent event,
                       std::chrono::milliseconds limit) override {
        // Kestrun is ending: the connection goes, so no exchange waits for its deadline.
        if (stop_.stop_requested()) {
            socket.abort();
            return false;
        }
        const std::uint64_t start = clock_.monotonicMs();
        if (waitOnSocket(socket, event, limit))
            return true;
        // A wait that ran out took its whole limit on the engine's clock as well (a test
        // clock has not moved meanwhile), so the deadlines measured on it end.
        const auto waited = std::chrono::milliseconds(clock_.monotonicMs() - start);
        if (waited < limit && socket.state() != QAbstractSocket::UnconnectedState)
            clock_.sleepFor(limit - waited, stop_);
        return false;
    }

private:
    Clock& clock_;
    std::stop_token stop_;
};

// The process table as one piece of work sees it: a program it closes is held until the work
// ends, so the program check does not start the old executable again while the new one is put
// in place.
class HoldingProcessTable final : public ProcessTable {
public:
    HoldingProcessTable(ProcessTable& table, HeldPrograms& held) : table_(table), held_(held) {}
    ~HoldingProcessTable() override {
        for (const std::string& name : names_)
            held_.release(name);
    }
    HoldingProcessTable(const HoldingProcessTable&) = delete;
    HoldingProcessTable& operator=(const HoldingProcessTable&) = delete;

    std::optional<std::vector<ProcessInfo>> processes() override { return table_.processes(); }
    bool closeFirst(std::string_view executableName) override {
        held_.hold(executableName);
        names_.emplace_back(executableName);
        return table_.closeFirst(executableName);
    }

private:
    ProcessTable& table_;
    HeldPrograms& held_;
    std::vector<std::string> names_;
};

} // namespace

UpdateCoordinator::UpdateCoordinator(Context context, std::filesystem::path workingFolder)
    : context_(std::move(context)), workingFolder_(std::move(workingFolder)) {
    removeLeftoverDownloads(workingFolder_);
    for (Lane* lane : {&checks_, &languages_})
        lane->worker = std::jthread([this, lane](std::stop_token stop) { work(*lane, stop); });
}

UpdateCoordinator::~UpdateCoordinator() {
    for (Lane* lane : {&checks_, &languages_})
        lane->worker.request_stop();
    for (Lane* lane : {&checks_, &languages_})
        if (lane->worker.joinable())
            lane->worker.join();
}

bool UpdateCoordinator::handles(KsnMessage message) {
    for (KsnMessage m : kEngineMessages)
        if (m == message)
            return true;
    return false;
}

bool UpdateCoordinator::handle(KsnMessage message) {
    if (!handles(message))
        return false;
    // The texts of the settings change on the window thread, where this runs: the work reads
    // a copy taken now (its numbers are taken again when the work starts).
    auto snapshot = std::make_unique<Settings>(context_.settings);
    const bool language = message == KsnMessage::LanguageUpdate;
    {
        std::lock_guard lock(mutex_);
        if (!pending_.insert(message).second)
            return false;
        if (message == KsnMessage::LanUpdate)
            ++pollsQueued_;
        Lane& lane = language ? languages_ : checks_;
        lane.queue.push_back(Job{message, std::move(snapshot), {}, language ? pollsQueued_ : 0});
        if (language && context_.namesNotToMirror)
            lane.queue.back().namesNotToMirror = context_.namesNotToMirror();
    }
    changed_.notify_all();
    return true;
}

void UpdateCoordinator::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty(); });
}

void UpdateCoordinator::work(Lane& lane, std::stop_token stop) {
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait(lock, stop, [&] {
                    return !lane.queue.empty() && lane.queue.front().afterPolls <= pollsEnded_;
                }))
                return;
            job = std::move(lane.queue.front());
            lane.queue.pop_front();
        }
        const KsnMessage message = job.message;
        Settings& snapshot = *job.settings;
        Settings& settings = context_.settings;
        // The numbers the server hands out are taken as they are now, after the work queued
        // before (a poll) has stored them, and come back unless the user changed them meanwhile.
        const std::uint32_t upost = settings.upost;
        const std::uint32_t upull = settings.upull;
        snapshot.upost = upost;
        snapshot.upull = upull;
        perform(job, stop);
        std::uint32_t expected = upost;
        settings.upost.compare_exchange_strong(expected, snapshot.upost);
        expected = upull;
        settings.upull.compare_exchange_strong(expected, snapshot.upull);
        {
            std::lock_guard lock(mutex_);
            pending_.erase(message);
            if (message == KsnMessage::LanUpdate)
                ++pollsEnded_;
        }
        changed_.notify_all();
    }
}

void UpdateCoordinator::perform(const Job& job, std::stop_token stop) {
    Settings& snapshot = *job.settings;
    WorkerWait wait(context_.clock, stop);
    HoldingProcessTable processes(context_.processes, context_.held);
    const UpdateEngine engine{snapshot, context_.log, wait, processes, context_.balloon};
    const auto selfUpdate = [&] {
        return programSelfUpdate(snapshot, context_.log, context_.launcher, workingFolder_);
    };
    switch (job.message) {
    case KsnMessage::LanUpdate: {
        const WebUpdates web(snapshot, context_.log, workingFolder_);
        LanUpdateClient(engine, web, workingFolder_, refusal_).check();
        break;
    }
    case KsnMessage::LanguageUpdate:
        LanguageMirror(engine, job.namesNotToMirror).update();
        break;
    case KsnMessage::SelfUpdate:
        selfUpdate().checkKestrun();
        break;
    case KsnMessage::KbmUpdate:
        selfUpdate().checkCompanion(OwnProgram::Kbm);
        break;
    case KsnMessage::UpdaterUpdate:
        selfUpdate().checkCompanion(OwnProgram::Updater);
        break;
    default:
        break;
    }
}

void UpdateCoordinator::checkNewVersion(NoticeVersions& versions, NoticeSink& sink) {
    const WebUpdates web(context_.settings, context_.log, workingFolder_);
    kestrun::checkNewVersion(context_.settings, web, versions, sink);
}

void UpdateCoordinator::startServer(const std::filesystem::path& currentDirectory) {
    server_ = std::make_unique<UpdateServerHandler>(context_.settings, context_.busy, context_.log,
                                                    context_.clock);
    server_->start(currentDirectory);
}

void UpdateCoordinator::runServerRoutine(const std::function<RoutineUser&()>& user) {
    if (!routine_)
        routine_ = std::make_unique<UpdateRoutine>(context_.settings, context_.busy, context_.log,
                                                   workingFolder_, context_.clock,
                                                   context_.processes, user());
    routine_->run();
}

} // namespace kestrun
