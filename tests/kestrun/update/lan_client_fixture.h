#pragma once

#include "kestrun/update/lan_update.h"
#include "kestrun/update/language_update.h"
#include "kestrun/update/update_server.h"
#include "platform/process_table.h"
#include "tests/kestrun/update/server_fixture.h"
#include "tests/kestrun/update/virtual_wait.h"
#include "tests/kestrun/update/web_fixture.h"
#include "tests/peers/scripted_server.h"

#include <QProcess>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrun::test {

// A workstation: its working folder and event log (from WebFixture), the client application's
// folder with a running stand-in under a name of its own, the engine's waits in virtual time,
// and the servers it may talk to: our own update server, scripted peers, the web test site.
class LanClientFixture : public WebFixture {
protected:
    LanClientFixture();
    ~LanClientFixture() override;

    static std::string standIn(const std::string& version); // "117", "118", "119": its bytes
    // Installs the stand-in of that version as the client application and starts it.
    void installProgram(const std::string& version, bool start = true);
    bool programRunning();
    // Our update server on loopback, serving the given version as its own client application.
    void startUpdateServer(const std::string& serverVersion, std::int32_t busy = 0);
    void useScripted(ScriptedServer& server) { settings_.uport = server.port(); }
    // The site offers this version in its manifest and the 5.2.0.118 stand-in as download.
    void publishWeb(const std::string& manifestVersion);

    void runCheck();
    // Runs one language update within limits_; the bytes it wrote.
    std::int64_t runMirror();
    UpdateEngine engine();
    std::vector<std::string> balloons();
    std::uint64_t virtualMs() { return clock_.monotonicMs() - startMs_; }
    // Every file below a folder, as paths relative to it.
    static std::vector<std::string> filesBelow(const std::filesystem::path& folder);

    TempDir zelmoDir_;
    std::string program_; // Ufile without its suffix
    ProcProcessTable processes_{clock_};
    VirtualTimeWait wait_{clock_};
    FakeServerHost host_;
    TempDir serverDir_;
    std::unique_ptr<CListenSocket> server_;
    std::vector<std::string> programList_; // the supervised programs' names the mirror is given
    LanguageLimits limits_;
    InstallRefusal refusal_; // kept from one check to the next, as the engine does

private:
    std::mutex mutex_;
    std::vector<std::string> balloons_;
    std::unique_ptr<QProcess> process_;
    std::uint64_t startMs_;
};

} // namespace kestrun::test
