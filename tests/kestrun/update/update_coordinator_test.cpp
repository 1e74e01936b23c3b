#include "kestrun/supervisor/held_programs.h"
#include "kestrun/update/self_update.h"
#include "kestrun/update/update_coordinator.h"
#include "platform/program_launcher.h"
#include "tests/kestrun/update/lan_client_fixture.h"
#include "tests/support/qt_app.h"

#include <algorithm>
#include <future>
#include <map>
#include <thread>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using Mode = ScriptedServer::Mode;

// The coordinator runs the engine's work on a thread of its own: the window's handler returns
// at once, whatever the peer does.
class UpdateCoordinatorTest : public LanClientFixture {
protected:
    DetachedProgramLauncher launcher_;
    HeldPrograms held_;
};

TEST_F(UpdateCoordinatorTest, WorkRunsInOrderOffTheCallerAndAPollStillRunningIsSkipped) {
    std::atomic<std::int32_t> busy{0};
    // A peer that holds each request until the client's own deadline ends it.
    ScriptedServer holding(
        Mode::Script, [](const std::string&, const ScriptedServer::Connection& c) { c.hang(); });
    useScripted(holding);
    // What a killed Kestrun's downloads left goes at the start; anything else stays.
    for (const char* name : {".Zelmo.exe.part-123-4", ".kestrun~.part-9-10", "Zelmo.exe.part-1-2",
                             ".Zelmo.exe.part-1", ".kbm~.part-1-2x", "kbm~"})
        writeFile(work_ / name, "part");
    // A link under such a name is not ours to remove (where the system makes links).
    const bool links = kestrun::test::systemMakesLinks();
    if (links)
        fs::create_symlink("kbm~", work_ / ".kbm~.part-1-2");
    std::vector<std::string> kept = {".Zelmo.exe.part-1", ".kbm~.part-1-2x", ".kvu~.part-1-2",
                                     "Zelmo.exe.part-1-2", "kbm~"};
    if (links)
        kept.insert(kept.begin() + 1, ".kbm~.part-1-2");
    fs::create_directory(work_ / ".kvu~.part-1-2");
    {
        UpdateCoordinator engine({settings_, log_, clock_, processes_, launcher_, busy, held_, {}},
                                 work_.path());
        EXPECT_EQ(filesBelow(work_.path()), kept);
        EXPECT_TRUE(engine.handle(KsnMessage::LanUpdate));
        EXPECT_TRUE(engine.handle(KsnMessage::LanguageUpdate));
        EXPECT_FALSE(engine.handle(KsnMessage::LanUpdate));    // the first has not ended yet
        EXPECT_FALSE(engine.handle(KsnMessage::ProgramCheck)); // none of the engine's
        engine.waitUntilIdle();
        EXPECT_EQ(holding.requests(), (std::vector<std::string>{"getState\r\n", "getLang\r\n"}));
        EXPECT_TRUE(engine.handle(KsnMessage::LanUpdate)); // due again once it has ended
    }

    // The numbers the server hands out reach the window's settings, and the language run
    // queued behind the poll counts down the server's Upost.
    std::promise<void> queued;
    ScriptedServer peer(Mode::Script, [ready = queued.get_future().share()](
                                          const std::string& request, const auto& c) {
        if (request == "getState\r\n") {
            ready.wait_for(std::chrono::seconds(10)); // the language run is queued meanwhile
            c.send("33;44;0\r");
        }
        const std::map<std::string, std::string> replies = {
            {"getLang\r\n", "de.ini\t240315103000\n"},
            {"getSize:de.ini\r\n", "2\n"},
            {"getFile:de.ini\r\n", "de"}};
        if (replies.count(request))
            c.send(replies.at(request));
    });
    useScripted(peer);
    UpdateCoordinator engine(
        {settings_, log_, clock_, processes_, launcher_, busy, held_, this->engine().balloon},
        work_.path());
    ASSERT_TRUE(engine.handle(KsnMessage::LanUpdate));
    EXPECT_TRUE(engine.handle(KsnMessage::LanguageUpdate));
    queued.set_value();
    engine.waitUntilIdle();
    EXPECT_EQ(settings_.upost, 33u);
    EXPECT_EQ(settings_.upull, 44u);
    ASSERT_FALSE(balloons().empty());
    EXPECT_EQ(balloons().front(), countdownText(kZelmoCountdownMessage, 33));
}

// A language body that a server trickles holds neither the LAN poll nor the self-update checks
// that come meanwhile: they run at once, on a thread of their own.
TEST_F(UpdateCoordinatorTest, ChecksDoNotWaitBehindALanguageRun) {
    std::atomic<std::int32_t> busy{0};
    std::atomic<bool> trickling{false}, bodyEnded{false}, stop{false};
    ScriptedServer peer(Mode::Script, [&](const std::string& request, const auto& c) {
        const std::map<std::string, std::string> replies = {
            {"getLang\r\n", "de.ini\t240315103000\n"},
            {"getSize:de.ini\r\n", "16777216\n"},
            {"getState\r\n", "60;10;0\r"}};
        if (replies.count(request))
            c.send(replies.at(request));
        if (!request.starts_with("getFile:"))
            return;
        for (trickling = true; !stop && c.send("d");)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bodyEnded = true;
    });
    useScripted(peer);
    startSite(); // without a manifest: a self-update check ends with its line
    UpdateCoordinator engine({settings_, log_, clock_, processes_, launcher_, busy, held_, {}},
                             work_.path());
    ASSERT_TRUE(engine.handle(KsnMessage::LanguageUpdate));
    ASSERT_TRUE(processEventsUntil([&] { return trickling.load(); }));
    EXPECT_TRUE(engine.handle(KsnMessage::LanUpdate));
    EXPECT_TRUE(engine.handle(KsnMessage::KbmUpdate));
    const bool checked = processEventsUntil(
        [&] {
            const auto lines = logMessages();
            const auto requests = peer.requests();
            return std::count(requests.begin(), requests.end(), "getVer\r\n") == 1 &&
                   std::count(lines.begin(), lines.end(), SelfUpdate::kNoConnection) == 1;
        },
        5000);
    EXPECT_FALSE(bodyEnded); // the checks ran while it went on
    stop = true;
    engine.waitUntilIdle();
    EXPECT_TRUE(checked);
}

} // namespace
} // namespace kestrun::test
