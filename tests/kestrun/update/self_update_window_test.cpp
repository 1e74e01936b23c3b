#include "kestrun/core/kestrun_dlg.h"
#include "platform/autostart.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/settings_store.h"
#include "tests/kestrun/update/self_update_names.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/kestrun/update/web_fixture.h"
#include "tests/support/qt_app.h"

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

// The main window runs the companions' checks on its own settings, log and working folder
// when the heartbeat's messages arrive.
class SelfUpdateWindowTest : public WebFixture {
protected:
    SelfUpdateWindowTest() {
        qtApp();
        startSite();
        trustTestKey();
    }
    TempDir other_; // before the members made from it
    IniSettingsStore store_{other_ / "Kestrun.conf"};
    AutostartEntry autostart_{other_ / "autostart/kestrun.desktop"};
    ProcProcessTable processes_{clock_};
    DetachedProgramLauncher launcher_;
};

TEST_F(SelfUpdateWindowTest, CompanionMessagesUpdateTheirOwnProgram) {
    struct Message {
        KsnMessage message;
        const char* name;
        const char* line;
    };
    const Message messages[] = {
        {KsnMessage::KbmUpdate, "kbm", "kbm was updated."},
        {KsnMessage::UpdaterUpdate, "kvu", "kvu was updated."},
    };
    publish("KSN/ver.txt", "KSN:1.0.0.0\r\nKBM:1.0.0.7\r\nKVU:1.0.0.8\r\n");
    publishSigned(remoteOf("kbm"), builtWithVersion("kbm", version(1, 0, 0, 7)));
    publishSigned(remoteOf("kvu"), builtWithVersion("kvu", version(1, 0, 0, 8)));
    publish(remoteOf("kestrun"), builtWithVersion("kestrun", version(9, 0, 0, 0)));
    installBuilt("kestrun", version(1, 0, 0, 0), work_ / programFileName("kestrun"));
    const ScopedCwd cwd(work_.path());
    CKestrunDlg window(
        KestrunContext{clock_, store_, autostart_, processes_, launcher_, work_.path(), false});

    // A folder anyone may write (by its mode, where folders have one): no check reaches the
    // site, and it is said once.
    std::size_t linesBefore = 0;
    if (systemHasModeBits()) {
        fs::permissions(work_.path(), fs::perms::all);
        for (int round = 0; round < 2; ++round)
            for (const KsnMessage m :
                 {KsnMessage::SelfUpdate, KsnMessage::KbmUpdate, KsnMessage::UpdaterUpdate})
                window.handleMessage(m);
        window.updates().waitUntilIdle(); // a check handed to the engine would have run by now
        EXPECT_EQ(logMessages(),
                  std::vector<std::string>{
                      "Self-update is not run: others may change the working folder " +
                      work_.path().string()});
        EXPECT_TRUE(requestedPaths().empty());
        fs::permissions(work_.path(), fs::perms::owner_all, fs::perm_options::replace);
        linesBefore = 1;
    }
    for (const Message& m : messages) {
        SCOPED_TRACE(m.name);
        window.handleMessage(m.message);
        window.updates().waitUntilIdle();
        EXPECT_EQ(logMessages().back(), m.line);
        EXPECT_EQ(readFileVersion(work_ / programFileName(m.name)),
                  version(1, 0, 0, m.name[1] == 'b' ? 7 : 8));
    }
    EXPECT_EQ(logMessages().size(), linesBefore + 4);
    EXPECT_FALSE(fs::exists(work_ / downloadFileName("kestrun")));
}

} // namespace
} // namespace kestrun::test
