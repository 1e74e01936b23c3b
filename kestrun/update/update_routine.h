#pragma once

#include "common/file_version.h"
#include "kestrun/core/settings.h"
#include "kestrun/update/web_updates.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <list>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace kestrun {

class Clock;
class EventLog;
class ProcessTable;

// What the update routine asks of the administrator and shows them. The window answers with
// real windows; tests answer themselves.
class RoutineUser {
public:
    enum class Symbol { Stop, Exclamation, Question };

    virtual ~RoutineUser() = default;
    // The version history to accept; true for "I read and accept". Window thread only.
    virtual bool acceptHistory() = 0;
    // A question with Yes and No; true for Yes. Window thread only.
    virtual bool askYesNo(const std::string& text, Symbol symbol, bool noIsDefault) = 0;
    // A message with an OK button. Called from the window thread and from the worker, which
    // must not wait for the answer: the window queues it to its own thread.
    virtual void tell(const std::string& text, Symbol symbol) = 0;
    // The tray's warning balloon; an empty text removes it. Called from the worker; the window
    // queues it to its own thread.
    virtual void balloon(const std::string& text) = 0;
};

// The update of the client application on the update server: the manual part on the window
// thread (acceptance, confirmation, version comparison, download of "Zelmo_serv.exe"), then a
// worker thread that raises the busy flag, counts down long enough for every client to close
// its copy, closes the server's own programs and puts the new executables in place.
class UpdateRoutine {
public:
    static constexpr const char* kServerDownload = "Zelmo_serv.exe";
    // The name the log lines give the server download.
    static constexpr const char* kServerDownloadLogName = "Zelmo_Serv.exe";
    static constexpr const char* kClientDownload = "Zelmo.exe";
    static constexpr const char* kConfirm = "Have you completed all the necessary preparatory "
                                            "operations and really want to update Zelmo?";
    static constexpr const char* kLatest =
        "You have the latest program version, cancel the update routine?";
    static constexpr const char* kNoInformation = "Could not find any update information in: ";
    static constexpr const char* kDownloadError = "Error in downloading update from web: ";
    static constexpr const char* kFailed = "Update failed!, please check log file";

    UpdateRoutine(const Settings& settings, std::atomic<std::int32_t>& busy, const EventLog& log,
                  std::filesystem::path workingFolder, Clock& clock, ProcessTable& processes,
                  RoutineUser& user);
    // Stops the waits of running workers and waits for them to end.
    ~UpdateRoutine();
    UpdateRoutine(const UpdateRoutine&) = delete;
    UpdateRoutine& operator=(const UpdateRoutine&) = delete;

    // The manual part; returns once the worker is started or the routine has ended. True when
    // a worker was started.
    bool run();

    // Waits for every worker started so far to end (tests, shutdown).
    void waitForWorkers();

    void setDownloadLimits(TransferLimits limits) { downloadLimits_ = limits; }
    void setManifestLimits(TransferLimits limits) { manifestLimits_ = limits; }

    // The countdown's length: (Upost + Upull) × 1.5, the sum taken as an unsigned 32-bit
    // number and the product cut toward zero.
    static std::uint64_t waitSeconds(std::uint32_t upost, std::uint32_t upull);

private:
    WebUpdates web(const Settings& settings) const;
    void work(const Settings& settings, std::stop_token stop);
    // Ends with false when the stop came during the wait.
    bool countDown(std::uint64_t seconds, std::stop_token stop);
    // Closes the program named by the path, then waits 2000 ms.
    bool closeProgram(const std::filesystem::path& program, std::stop_token stop);
    // Renames the program to its versioned backup name unless that name exists; movedTo is
    // set when it did. False when an existing program could not be moved aside.
    bool backUp(const std::filesystem::path& program,
                std::optional<std::filesystem::path>& movedTo);
    // Copies the download over the program and deletes the download; logName is how the lines
    // name the download. A program that was moved aside lends the new file its mode. False
    // (with its log line) when the download is missing or the copy failed.
    bool replace(const std::filesystem::path& download, const std::string& logName,
                 const std::filesystem::path& program,
                 const std::optional<std::filesystem::path>& movedTo);
    bool updateClient(const Settings& settings, std::stop_token stop);

    const Settings& settings_;
    std::atomic<std::int32_t>& busy_;
    const EventLog& log_;
    std::filesystem::path workingFolder_;
    Clock& clock_;
    ProcessTable& processes_;
    RoutineUser& user_;
    std::optional<TransferLimits> downloadLimits_;
    std::optional<TransferLimits> manifestLimits_;

    std::mutex workersMutex_;
    std::list<std::jthread> workers_;
};

} // namespace kestrun
