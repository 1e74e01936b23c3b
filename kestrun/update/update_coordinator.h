#pragma once

#include "kestrun/core/messages.h"
#include "kestrun/update/countdown.h"
#include "kestrun/update/lan_update.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrun {

class Clock;
class EventLog;
class HeldPrograms;
class NoticeSink;
struct NoticeVersions;
class ProcessTable;
class ProgramLauncher;
class RoutineUser;
class UpdateRoutine;
class UpdateServerHandler;
struct Settings;

// The update engine as the main window runs it. The window routes the engine's messages here
// and returns at once: the work that may wait on the network runs on the engine's own threads,
// so the heartbeat and the program check never wait on a peer or a web server. The LAN polls
// and the self-update checks run on one thread, one after the other in the order they came;
// the language runs, which may take minutes, run on a second one, so that no check ever waits
// behind one. A language run starts only when the poll queued before it has ended, as it takes
// over that poll's countdown length. A message whose previous work is still queued or running
// is skipped. The update server and the server-side routine run on the window thread as before.
class UpdateCoordinator {
public:
    struct Context {
        // A copy is taken for each piece of work, its Upost and Upull when the work starts;
        // those two come back when it ends.
        Settings& settings;
        const EventLog& log;
        Clock& clock;
        ProcessTable& processes;
        ProgramLauncher& launcher;
        std::atomic<std::int32_t>& busy; // the server-side routine's busy flag
        HeldPrograms& held;              // a program the engine has closed is not restarted
        WarningBalloon balloon;          // callable from any thread
        // The names the language mirror never writes, asked on the window thread.
        std::function<std::vector<std::string>()> namesNotToMirror = {};
    };

    // Downloads a Kestrun that was killed left unfinished in the working folder are removed.
    UpdateCoordinator(Context context, std::filesystem::path workingFolder);
    // Ends the engine's waits and joins its thread; then the routine's workers end.
    ~UpdateCoordinator();
    UpdateCoordinator(const UpdateCoordinator&) = delete;
    UpdateCoordinator& operator=(const UpdateCoordinator&) = delete;

    // True for the messages this coordinator takes.
    static bool handles(KsnMessage message);
    // Queues the message's work; false when it was skipped (its previous work is still queued
    // or running) or is none of the engine's.
    bool handle(KsnMessage message);
    // Blocks until every queued piece of work has ended (tests, and the hand-over driver).
    void waitUntilIdle();

    // The new-version notice's check of the web manifest, on the window thread.
    void checkNewVersion(NoticeVersions& versions, NoticeSink& sink);

    // In the server modes: listens on Uport and makes "Drop" in the current directory.
    void startServer(const std::filesystem::path& currentDirectory);
    UpdateServerHandler* server() const { return server_.get(); }
    // The system menu's update routine; the user's windows are made on its first start.
    void runServerRoutine(const std::function<RoutineUser&()>& user);

private:
    // A message's work with the settings as they were when it came.
    struct Job {
        KsnMessage message{};
        std::unique_ptr<Settings> settings;
        std::vector<std::string> namesNotToMirror;
        std::uint64_t afterPolls = 0; // starts once this many LAN polls have ended
    };
    // One thread of the engine and the work queued for it.
    struct Lane {
        std::deque<Job> queue;
        std::jthread worker;
    };
    void work(Lane& lane, std::stop_token stop);
    void perform(const Job& job, std::stop_token stop);

    Context context_;
    std::filesystem::path workingFolder_;
    InstallRefusal refusal_; // the LAN client's, from one poll to the next (engine thread only)

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::set<KsnMessage> pending_; // queued or running
    std::uint64_t pollsQueued_ = 0, pollsEnded_ = 0;
    std::unique_ptr<UpdateServerHandler> server_;
    std::unique_ptr<UpdateRoutine> routine_;
    // Last: their threads end before the state they use goes away.
    Lane checks_;    // the LAN polls and the self-update checks
    Lane languages_; // the language runs
};

} // namespace kestrun
