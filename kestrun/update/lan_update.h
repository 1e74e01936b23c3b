#pragma once

#include "kestrun/update/countdown.h"

#include <filesystem>
#include <string>

namespace kestrun {

class EngineWait;
class EventLog;
class ProcessTable;
class WebUpdates;
struct Settings;

// What the update client and the language-file mirror take from the main window.
struct UpdateEngine {
    Settings& settings; // Uhost, Uport, Ufile, Uhttp read; Upost and Upull taken over
    const EventLog& log;
    EngineWait& wait;
    ProcessTable& processes;
    WarningBalloon balloon;
};

// The update client of a workstation: at each poll it asks the update server for its state;
// while the server updates itself it counts down and closes the local client application;
// otherwise, when the server runs a newer version that the web site also offers, it downloads
// that version, keeps the old executable under a versioned name, copies the new one in place
// and tells the server.
class LanUpdateClient {
public:
    static constexpr const char* kDownloadedName = "Zelmo.exe"; // in the working folder

    LanUpdateClient(UpdateEngine engine, const WebUpdates& web,
                    std::filesystem::path workingFolder);

    void check();

private:
    void install(const std::string& program, const std::string& versionText);

    UpdateEngine engine_;
    const WebUpdates& web_;
    std::filesystem::path workingFolder_;
};

} // namespace kestrun
