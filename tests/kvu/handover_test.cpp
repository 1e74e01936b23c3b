#include "common/file_version.h"
#include "release/handover_files.h"
#include "tests/kestrun/update/http_server_peer.h"
#include "tests/kestrun/update/self_update_names.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/support/test_support.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

const std::string kUpdater = programFileName(kUpdaterProgram);

// A working folder with the real programs, and the environment of a Kestrun that touches only
// the test's folders and reads our site from the loopback server.
class HandOverTest : public ::testing::Test {
protected:
    HandOverTest() {
        for (const char* sub : {"work", "site/KSN", "config", "xdg", "runtime", "appdata"})
            fs::create_directories(dir_ / sub);
        fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        installBuilt("kestrun", version(1, 2, 1, 3), work_ / kInstalled);
        fs::copy_file(builtProgram("kvu"), work_ / kUpdater);
        writeFile(work_ / "kestrun-release.pem", readFile(key_.publicKey));
    }
    // Our site over HTTPS (its certificate in ca.pem) offers the successor, signed with a key
    // the working folder trusts.
    void publishSuccessor(const std::string& program) {
        writeFile(dir_ / "site/KSN/ver.txt", "KSN:1.2.1.4\r\nKBM:1.0.0.0\r\nKVU:1.0.0.0\r\n");
        writeFile(dir_ / "site" / remoteOf("kestrun"), program);
        ASSERT_TRUE(signRelease(key_, dir_ / "site" / remoteOf("kestrun"), "kestrun", "1.2.1.4"));
        certificate_ = makeCertificate(dir_.path(), "site");
        writeFile(work_ / "ca.pem", readFile(certificate_.cert));
        server_ = std::make_unique<HttpServerPeer>(dir_ / "site", &certificate_);
        ASSERT_NE(server_->port(), 0);
    }
    ~HandOverTest() override {
        // Whatever Kestrun or updater still runs from the folder goes with the test.
        for (const std::string& name : {kInstalled, kUpdater})
            for (int i = 0; i < 5; ++i)
                endProcessRunningFrom(work_ / name);
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // A desktop session unless a test runs the programs as a service.
        // systemd's own run id is in the environments of desktop programs too: it is not the
        // mark of the service.
        env.insert("INVOCATION_ID", "0123456789abcdef0123456789abcdef");
        env.remove("KESTRUN_SERVICE");
        if (asService_)
            env.insert("KESTRUN_SERVICE", "1");
        const auto at = [&](const char* sub) {
            return QString::fromStdString((dir_ / sub).string());
        };
        env.insert("XDG_CONFIG_HOME", at("config"));
        env.insert("XDG_CONFIG_DIRS", at("xdg"));
        env.insert("XDG_RUNTIME_DIR", at("runtime"));
        env.insert("APPDATA", at("appdata"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        for (const char* proxy : {"http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"})
            env.remove(proxy);
        // By name: Windows' TLS matches a certificate by its names only, never by an address.
        env.insert(
            "KESTRUN_WEB_BASE",
            QString::fromStdString((server_ ? "https://localhost:" + std::to_string(server_->port())
                                            : std::string("http://127.0.0.1:1")) +
                                   "/KSN"));
        return env;
    }
    void start(QProcess& process, const fs::path& program) {
        process.setProcessEnvironment(environment());
        process.setWorkingDirectory(QString::fromStdString(work_.string()));
        process.start(QString::fromStdString(program.string()), {});
        ASSERT_TRUE(process.waitForStarted()) << program;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> result;
        for (const std::string& line : readLines(work_ / "Kestrun.log"))
            result.push_back(line.substr(line.find('\t') + 1));
        return result;
    }
    // Whether the line was logged, Kestrun's file names in it as this system writes them.
    bool logged(const std::string& message) const {
        const auto lines = messages();
        return std::find(lines.begin(), lines.end(), named(message)) != lines.end();
    }
    std::size_t count(const std::string& message) const {
        const auto lines = messages();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), message));
    }

    TempDir dir_;
    fs::path work_ = dir_ / "work";
    ReleaseKey key_ = makeReleaseKey(dir_.path(), "release"); // the working folder trusts it
    Certificate certificate_;
    std::unique_ptr<HttpServerPeer> server_;
    bool asService_ = false;
};

// The old Kestrun fetches its successor, starts the updater and ends with status 1; the
// updater puts the new file in place and starts it, and the new Kestrun runs from the folder.
TEST_F(HandOverTest, OldKestrunEndsAndTheNewOneRunsFromTheSameFolder) {
    const std::string successor = builtWithVersion("kestrun", version(1, 2, 1, 4));
    publishSuccessor(successor);

    QProcess old;
    start(old, builtProgram("kestrun_handover_driver"));
    ASSERT_TRUE(old.waitForFinished(60000));
    EXPECT_EQ(old.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(old.exitCode(), 1);
    EXPECT_TRUE(logged("Preparing for updates, will be terminated."));

    ASSERT_TRUE(waitUntil(
        [&] { return logged("kvu: the new Kestrun has run its first check, kestrun.old removed"); },
        std::chrono::seconds(60)))
        << readFile(work_ / "Kestrun.log");
    EXPECT_EQ(count("Program started"), 2u) << "the old one's and the new one's";
    const auto lines = messages();
    const auto handOver =
        std::find(lines.begin(), lines.end(), "Preparing for updates, will be terminated.");
    EXPECT_NE(std::find(handOver, lines.end(), "Program started"), lines.end());
    EXPECT_EQ(readFile(work_ / kInstalled), successor);
    EXPECT_EQ(readFileVersion(work_ / kInstalled), version(1, 2, 1, 4));
    EXPECT_FALSE(fs::exists(work_ / kDownload));
    EXPECT_FALSE(fs::exists(work_ / kKept));
    EXPECT_FALSE(fs::exists(work_ / trialMarkerName()));
    EXPECT_TRUE(processRunningFrom(work_ / kInstalled).has_value()) << "the new Kestrun runs";
}

// Without a usable download the updater starts the old Kestrun again.
TEST_F(HandOverTest, OldKestrunStartsAgainWithoutAUsableDownload) {
    struct Case {
        const char* what;
        std::optional<std::string> download;
        const char* reason;
    };
    const Case cases[] = {
        {"missing", std::nullopt, "kvu: kestrun~ is missing, starting the old Kestrun"},
        {"no version", std::string("<html>Bad gateway</html>"),
         "kvu: kestrun~ has no version, starting the old Kestrun"},
        {"newer, not signed", builtWithVersion("kestrun", version(1, 2, 1, 4)),
         "kvu: kestrun~ has no signature kestrun~.sig, starting the old Kestrun"},
    };
    const std::string old = readFile(work_ / kInstalled);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        fs::remove(work_ / "Kestrun.log");
        if (k.download)
            writeFile(work_ / kDownload, *k.download);
        QProcess updater;
        start(updater, work_ / kUpdater);
        ASSERT_TRUE(updater.waitForFinished(30000));
        EXPECT_EQ(updater.exitCode(), 1);
        EXPECT_TRUE(logged(k.reason)) << readFile(work_ / "Kestrun.log");
        ASSERT_TRUE(waitUntil([&] { return logged("Program started"); }, std::chrono::seconds(30)));
        EXPECT_EQ(readFile(work_ / kInstalled), old);
        ASSERT_TRUE(endProcessRunningFrom(work_ / kInstalled)) << "the old Kestrun runs";
        ASSERT_TRUE(waitUntil([&] { return !processRunningFrom(work_ / kInstalled); }));
        if (k.download) {
            EXPECT_EQ(readFile(work_ / kDownload), *k.download);
        }
    }
}

// The updater leaves a running Kestrun's files alone and goes on once it has ended.
TEST_F(HandOverTest, ReplacesOnlyAfterTheRunningKestrunHasEnded) {
    QProcess running;
    start(running, work_ / kInstalled);
    ASSERT_TRUE(waitUntil([&] { return logged("Program started"); }, std::chrono::seconds(30)));
    const std::string successor = builtWithVersion("kestrun", version(1, 2, 1, 4));
    writeFile(work_ / kDownload, successor);
    ASSERT_TRUE(signRelease(key_, work_ / kDownload, "kestrun", "1.2.1.4"));

    QProcess updater;
    start(updater, work_ / kUpdater);
    ASSERT_TRUE(waitUntil([&] { return logged("kvu: waiting for Kestrun to end"); },
                          std::chrono::seconds(30)));
    EXPECT_FALSE(updater.waitForFinished(300)) << "the updater waits";
    EXPECT_EQ(readFile(work_ / kDownload), successor);
    EXPECT_FALSE(logged("kvu: Kestrun has ended"));

    running.kill();
    ASSERT_TRUE(running.waitForFinished());
    ASSERT_TRUE(updater.waitForFinished(60000));
    EXPECT_EQ(updater.exitCode(), 0);
    EXPECT_TRUE(logged("kvu: the new Kestrun has run its first check, kestrun.old removed"))
        << readFile(work_ / "Kestrun.log");
    EXPECT_EQ(count("Program started"), 2u);
    EXPECT_EQ(readFileVersion(work_ / kInstalled), version(1, 2, 1, 4));
    EXPECT_TRUE(processRunningFrom(work_ / kInstalled).has_value());
}

// As a service the hand-over is the unit's: Kestrun ends with status 1 and starts nothing, the
// service's next start runs the updater first, which swaps the files and starts nothing, and
// then the new Kestrun, which is the service's own process.
TEST_F(HandOverTest, AsAServiceTheUpdaterSwapsBeforeTheNextStartAndStartsNothing) {
    asService_ = true;
    const std::string successor = builtWithVersion("kestrun", version(1, 2, 1, 4));
    publishSuccessor(successor);
    const std::string old = readFile(work_ / kInstalled);

    QProcess service;
    start(service, builtProgram("kestrun_handover_driver"));
    ASSERT_TRUE(service.waitForFinished(60000));
    EXPECT_EQ(service.exitCode(), 1) << "the status the unit restarts on";
    EXPECT_TRUE(logged("Preparing for updates, will be terminated."));
    ASSERT_EQ(readFile(work_ / kDownload), successor);
    // An updater started now would log at once and swap the files behind the service's back.
    EXPECT_FALSE(waitUntil(
        [&] {
            const auto lines = messages();
            return std::any_of(lines.begin(), lines.end(),
                               [](const std::string& m) { return m.rfind("kvu:", 0) == 0; });
        },
        std::chrono::seconds(2)))
        << readFile(work_ / "Kestrun.log");
    EXPECT_EQ(readFile(work_ / kInstalled), old);

    // The unit's step before the start.
    QProcess updater;
    start(updater, work_ / kUpdater);
    ASSERT_TRUE(updater.waitForFinished(30000));
    EXPECT_EQ(updater.exitCode(), 0);
    EXPECT_FALSE(processRunningFrom(work_ / kInstalled).has_value())
        << "the updater started a Kestrun";
    EXPECT_TRUE(logged("kvu: the service starts the new Kestrun, kestrun.old kept"))
        << readFile(work_ / "Kestrun.log");
    EXPECT_EQ(readFile(work_ / kInstalled), successor);
    EXPECT_EQ(readFile(work_ / kKept), old);
    EXPECT_FALSE(fs::exists(work_ / kDownload));
    EXPECT_EQ(count("Program started"), 1u) << "only the old one's so far";

    // The unit's start: the new Kestrun, as the service's own process.
    QProcess restarted;
    start(restarted, work_ / kInstalled);
    ASSERT_TRUE(
        waitUntil([&] { return count("Program started") == 2u; }, std::chrono::seconds(30)));
    EXPECT_EQ(restarted.state(), QProcess::Running);
    EXPECT_EQ(processRunningFrom(work_ / kInstalled), std::optional<long>(restarted.processId()));
    // Stopped by the service (SIGTERM) before its first check, 10 s after its start, it ends
    // cleanly: that ends its trial too, and the updater will not roll it back.
    EXPECT_TRUE(fs::exists(work_ / trialMarkerName()));
    if (!systemStopsWithSignals()) {
        restarted.kill();
        ASSERT_TRUE(restarted.waitForFinished());
        GTEST_SKIP() << "a Windows service is stopped by its service manager's control call, "
                        "which Wine's sessions do not make; the swap before its start holds";
    }
    restarted.terminate();
    ASSERT_TRUE(restarted.waitForFinished());
    EXPECT_EQ(restarted.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(restarted.exitCode(), 0);
    EXPECT_FALSE(fs::exists(work_ / trialMarkerName()));

    // Every later start without a download: the updater does nothing, not even a log line.
    const std::string before = readFile(work_ / "Kestrun.log");
    QProcess idle;
    start(idle, work_ / kUpdater);
    ASSERT_TRUE(idle.waitForFinished(30000));
    EXPECT_EQ(idle.exitCode(), 0);
    EXPECT_EQ(readFile(work_ / "Kestrun.log"), before);
    EXPECT_FALSE(processRunningFrom(work_ / kInstalled).has_value());
    EXPECT_EQ(readFile(work_ / kInstalled), successor);
}

// As a service, a signed successor that crashes at its start is rolled back by the updater
// before the next start, and the old Kestrun does not fetch that version again.
TEST_F(HandOverTest, AsAServiceASuccessorThatCrashesAtStartIsRolledBack) {
    asService_ = true;
    publishSuccessor(
        withVersion(readFile(builtProgram("kestrun_crash_stand_in")), version(1, 2, 1, 4)));
    const std::string old = readFile(work_ / kInstalled);
    const auto runToEnd = [&](const fs::path& program, int status) {
        QProcess process;
        start(process, program);
        ASSERT_TRUE(process.waitForFinished(60000)) << program;
        EXPECT_EQ(process.exitCode(), status) << program;
    };

    runToEnd(builtProgram("kestrun_handover_driver"), 1); // fetches the successor and ends
    runToEnd(work_ / kUpdater, 0);                        // puts it in place
    ASSERT_EQ(readFileVersion(work_ / kInstalled), version(1, 2, 1, 4));
    QProcess crashing;
    start(crashing, work_ / kInstalled);
    ASSERT_TRUE(crashing.waitForFinished(30000));
    // An abort is a crash to POSIX (a signal), and exit status 3 to Windows' C runtime.
    if (systemStopsWithSignals()) {
        EXPECT_EQ(crashing.exitStatus(), QProcess::CrashExit);
    } else {
        EXPECT_EQ(crashing.exitCode(), 3);
    }

    runToEnd(work_ / kUpdater, 0); // the step before the restart
    EXPECT_TRUE(logged("kvu: the new Kestrun 1.2.1.4 ended before its first check, the old "
                       "Kestrun 1.2.1.3 is back in place"))
        << readFile(work_ / "Kestrun.log");
    EXPECT_TRUE(readFile(work_ / kInstalled) == old);
    EXPECT_FALSE(fs::exists(work_ / kKept));

    // The old Kestrun's next check: the failed version is offered still, and not fetched.
    const std::size_t requests = server_->requests().size();
    runToEnd(builtProgram("kestrun_handover_driver"), 0);
    const auto served = server_->requests();
    ASSERT_EQ(served.size(), requests + 1) << "the manifest only";
    EXPECT_EQ(served.back().path, "/KSN//ver.txt");
    EXPECT_EQ(count("Preparing for updates, will be terminated."), 1u);
}

} // namespace
} // namespace kestrun::test
