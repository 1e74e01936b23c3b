#pragma once

#include "common/file_version.h"
#include "kestrun/update/countdown.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

class EngineWait;
class EventLog;
class ProcessTable;
class WebUpdates;
struct Settings;

// The longest time between two polls that a server's Upull can ask for: a day. Taken as it
// is, a larger number, or a negative one (a huge one as the unsigned setting), would stop the
// polls for good after one reply.
inline constexpr std::int32_t kPullLimitSeconds = 86400;

// What the update client and the language-file mirror take from the main window.
struct UpdateEngine {
    Settings& settings; // Uhost, Uport, Ufile, Uhttp read; Upost and Upull taken over
    const EventLog& log;
    EngineWait& wait;
    ProcessTable& processes;
    WarningBalloon balloon;
};

// An update the client would not install (its client application's folder takes no new
// file, the download is not the server's version, the new file could not be put in place),
// kept by the client's owner from one poll to the next. For an hour, as long as the program
// and the two versions are the same, the client neither closes the program nor downloads again.
struct InstallRefusal {
    static constexpr std::chrono::hours kBackOff{1};

    std::string what; // the program and the versions it was about
    std::string why;
    std::optional<std::uint64_t> atMs; // on the engine's monotonic clock; none: no refusal

    bool holds(const std::string& situation, std::uint64_t nowMs) const;
    // Records a refusal; true when it is news: another situation or reason than the last one.
    bool refuse(const std::string& situation, const std::string& reason, std::uint64_t nowMs);
};

// The update client of a workstation: at each poll it asks the update server for its state;
// while the server updates itself it counts down and closes the local client application;
// otherwise, when the server runs a newer version that the web site also offers, it downloads
// that version and, when the download is that version and the program's folder lets it be
// replaced, closes the program, keeps the old executable under a versioned name, puts the new
// one in place (the old one back when that fails) and tells the server.
class LanUpdateClient {
public:
    static constexpr const char* kDownloadedName = "Zelmo.exe"; // in the working folder

    LanUpdateClient(UpdateEngine engine, const WebUpdates& web, std::filesystem::path workingFolder,
                    InstallRefusal& refusal);

    void check();

private:
    bool installable(const FileVersion& serverVersion);
    void install(const std::string& program, const std::string& versionText);
    void refuse(const std::string& program, const std::string& why);

    UpdateEngine engine_;
    const WebUpdates& web_;
    std::filesystem::path workingFolder_;
    InstallRefusal& refusal_;
    std::string situation_; // what a refusal of this check is about
};

} // namespace kestrun
