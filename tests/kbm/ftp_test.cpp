#include "common/log_writer.h"
#include "kbm/ftp_sender.h"
#include "kbm/ftp_tls.h"
#include "tests/kbm/ftp_delivery_fixture.h"
#include "tests/kestrun/update/http_server_peer.h"
#include "tests/peers/scripted_server.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// A destination's id as its file holds it: 32 hexadecimal digits and a line end (GoogleTest's
// regular expressions on Windows know no classes or counts).
bool isDestinationId(const std::string& text) {
    return text.size() == 33 && text.find_first_not_of("0123456789abcdef") == 32 &&
           text.back() == '\n';
}

TEST_F(FtpDeliveryTest, RunSendsNestedFilesPlainInPassiveAndActiveMode) {
    FtpServerPeer plain(remote, "kbm", "secret");
    ASSERT_NE(plain.port(), 0) << plain.log();
    const std::string a = box.source("Data/Reports/2024/notes.txt", "passive");
    const std::string b = box.source("Data/with space & 100%/b.txt", "spaced");
    box.run_.include = {{(box.src / "Data").string(), 0, 0}};
    box.run_.settings.port = plain.port();
    for (const int passive : {1, 0}) {
        SCOPED_TRACE(passive);
        int sleeps = 0;
        box.clock.setSleepHook([&](std::chrono::milliseconds) { ++sleeps; });
        const std::size_t logged = plain.log().size();
        runAfresh(passive);
        const LocalDateTime stamp = box.clock.now();
        // The data connections were opened the way the setting asks.
        const std::string commands = plain.log().substr(logged);
        const bool sawPassive = commands.find("<- EPSV") != std::string::npos ||
                                commands.find("<- PASV") != std::string::npos;
        const bool sawActive = commands.find("<- EPRT") != std::string::npos ||
                               commands.find("<- PORT") != std::string::npos;
        EXPECT_EQ(sawPassive, passive == 1) << commands;
        EXPECT_EQ(sawActive, passive == 0) << commands;
        EXPECT_EQ(readFile(remoteCopy(a)), "passive");
        EXPECT_EQ(readFile(remoteCopy(b)), "spaced");
        // TLS is asked for every time; without it, the run says so once.
        EXPECT_NE(commands.find("<- AUTH TLS"), std::string::npos) << commands;
        EXPECT_THAT(box.logMessages(),
                    ElementsAre("FTP to 127.0.0.1:" + std::to_string(plain.port()) +
                                " is not encrypted: the password and the files go in clear"));
        // No sets, no pauses with an FTP destination; the run's list is still written.
        EXPECT_EQ(sleeps, 0);
        EXPECT_TRUE(fs::exists(box.autodeleteList(stamp)));
        EXPECT_FALSE(fs::exists(box.dest / stamp.format(kSetStampFormat)));
    }
    EXPECT_EQ(box.progress.status.back(), "b.txt -> 127.0.0.1");
}

// pyftpdlib breaks off an encrypted data connection whose handshake comes before the transfer
// command, as libcurl's does: over TLS, a file goes encrypted or not at all, never in clear.
TEST_F(FtpDeliveryTest, OverTlsEveryFileGoesEncryptedOrNotAtAll) {
    box.run_.settings.host = kTlsHost;
    const FtpServerPeer tls = trustedTlsServer();
    ASSERT_NE(tls.port(), 0) << tls.log();
    const std::string a = box.source("Data/a.txt", "first");
    const std::string b = box.source("Data/sub/b.txt", "second");
    box.run_.include = {{(box.src / "Data").string(), 0, 0}};
    for (const int passive : {1, 0}) {
        SCOPED_TRACE(passive);
        const std::size_t logged = tls.log().size();
        runAfresh(passive);
        const std::string commands = tls.log().substr(logged);
        EXPECT_LT(commands.find("234 AUTH TLS successful"), commands.find("<- USER")) << commands;
        EXPECT_NE(commands.find("<- PROT P"), std::string::npos) << commands;
        EXPECT_EQ(commands.find("<- PROT C"), std::string::npos) << commands;
        auto messages = box.logMessages();
        // A libcurl that can not encrypt active-mode data goes passive, and says so.
        if (passive == 0 && activeDataTlsBroken(runtimeLibcurlVersion())) {
            EXPECT_EQ(messages.at(0), "FTP over TLS uses passive mode: libcurl " +
                                          runtimeLibcurlVersionText() +
                                          " can not encrypt active-mode data connections");
            EXPECT_EQ(commands.find("<- EPRT"), std::string::npos) << commands;
        }
        // A file whose failure the log tells, with its reason, went neither in clear nor at
        // all, and stays due; any other arrived whole.
        for (const std::string& file : {a, b}) {
            const bool sent = std::none_of(messages.begin(), messages.end(), [&](const auto& m) {
                return m.starts_with("Sending to FTP failed: " + file + " (") && m.ends_with(")");
            });
            const fs::path copy = remoteCopy(file);
            EXPECT_EQ(fs::exists(copy) ? readFile(copy) : "", sent ? readFile(file) : "");
            EXPECT_EQ(fs::exists(box.marker(file)), sent) << file;
        }
    }
}

// A server that offered TLS before and offers none now may be someone in its place.
TEST_F(FtpDeliveryTest, ServerThatOfferedTlsGetsNoPasswordWithoutIt) {
    box.run_.settings.host = kTlsHost;
    const std::string a = box.source("k/a.txt", "first");
    const std::string b = box.source("k/b.txt", "second");
    box.run_.include = {{(box.src / "k").string(), 0, 0}};
    int port = 0;
    {
        const FtpServerPeer tls = trustedTlsServer();
        ASSERT_NE(port = tls.port(), 0) << tls.log();
        box.run();
    }
    const fs::path memory = FtpTlsMemory::fileIn(box.data);
    ASSERT_TRUE(fs::exists(memory));
    if (systemHasModeBits()) {
        EXPECT_EQ(modeOf(memory), 0600u);
    }
    FtpServerPeer plain(remote, "kbm", "secret", port);
    ASSERT_EQ(plain.port(), port) << plain.log();
    fs::remove_all(markerFolder(box.data)); // every file is due again
    fs::remove(box.log.file());
    box.clock.advance(std::chrono::hours(1));
    box.run();
    EXPECT_THAT(box.logMessages(),
                UnorderedElementsAre("FTP server " + std::string(kTlsHost) + ":" +
                                         std::to_string(port) +
                                         " no longer offers TLS, nothing is sent: it did before",
                                     ::testing::StartsWith("Sending to FTP failed: " + a + " ("),
                                     ::testing::StartsWith("Sending to FTP failed: " + b + " (")));
    EXPECT_EQ(plain.log().find("<- USER"), std::string::npos) << plain.log();
}

// A memory that can not be read counts every server as one that offered TLS and is never
// written over; lines written by hand may end in CR LF or lack their last line end.
TEST(FtpTlsMemoryTest, DamagedMemoryKeepsThePasswordAndIsNotWrittenOver) {
    test::TempDir dir;
    const fs::path file = dir / "KBM/ftp-tls";
    FtpTlsMemory fresh(file);
    EXPECT_FALSE(fresh.offered("h", 21, "u"));
    ASSERT_TRUE(fresh.remember("h", 21, "u"));
    EXPECT_TRUE(FtpTlsMemory(file).offered("h", 21, "u"));
    EXPECT_FALSE(FtpTlsMemory(file).offered("other", 21, "u"));
    test::writeFile(file, "x 1 y\r\nh 21 u");
    EXPECT_TRUE(FtpTlsMemory(file).offered("h", 21, "u"));
    test::writeFile(file, std::string((1 << 20) + 1, 'x'));
    FtpTlsMemory damaged(file);
    EXPECT_TRUE(damaged.offered("other", 21, "u"));
    EXPECT_TRUE(damaged.remember("other", 21, "u"));
    EXPECT_EQ(fs::file_size(file), (1u << 20) + 1);
}

TEST_F(FtpDeliveryTest, BlocksDriveTheLowerBar) {
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    FtpSender ftp = sender(server, true);

    const std::string empty = box.source("z/empty.dat", "");
    ftp.send(empty, remoteName(empty));
    EXPECT_TRUE(fs::exists(remoteCopy(empty)));
    EXPECT_EQ(fs::file_size(remoteCopy(empty)), 0u);
    EXPECT_EQ(box.progress.transfer, std::vector<int>{0});
    EXPECT_EQ(box.progress.status, std::vector<std::string>{"empty.dat -> 127.0.0.1"});

    box.progress = RecordingProgress();
    const std::string kb = box.source("z/kb.dat", std::string(1024, 'k'));
    ftp.send(kb, remoteName(kb));
    EXPECT_EQ(readFile(remoteCopy(kb)), std::string(1024, 'k'));
    EXPECT_EQ(box.progress.transfer, (std::vector<int>{0, 99}));
    EXPECT_EQ(box.progress.pumps, 1);

    box.progress = RecordingProgress();
    const std::string big = randomBytes(3 * 1024 * 1024 + 17, 42);
    const std::string large = box.source("z/large.bin", big);
    ftp.send(large, remoteName(large));
    EXPECT_EQ(readFile(remoteCopy(large)), big);
    // One step per block of at most 1024 bytes, rising to (size * 100) / (size + 1).
    EXPECT_EQ(box.progress.pumps, 3 * 1024 + 1);
    EXPECT_TRUE(std::is_sorted(box.progress.transfer.begin(), box.progress.transfer.end()));
    EXPECT_EQ(box.progress.transfer.back(), 99);
    EXPECT_TRUE(noted().empty());
}

// Also by a server that refuses to rename onto an existing name; never in clear through an
// HTTP proxy of the system's settings, which only tunnels.
TEST_F(FtpDeliveryTest, ExistingRemoteFileIsReplaced) {
    const std::string file = box.source("r/same.txt", "a much longer first version");
    for (const bool renamesOver : {true, false}) {
        SCOPED_TRACE(renamesOver);
        fs::remove_all(remote / "backup");
        writeFile(file, "a much longer first version");
        const auto server = renamesOver ? FtpServerPeer(remote, "kbm", "secret")
                                        : FtpServerPeer::noRenameOver(remote, "kbm", "secret");
        ASSERT_NE(server.port(), 0) << server.log();
        FtpSender ftp = sender(server, false);
        EXPECT_TRUE(ftp.send(file, remoteName(file)));
        writeFile(file, "second");
        EXPECT_TRUE(ftp.send(file, remoteName(file)));
        EXPECT_EQ(readFile(remoteCopy(file)), "second");
        EXPECT_EQ(std::distance(fs::directory_iterator(remoteCopy(file).parent_path()), {}), 1);
    }
    ScriptedServer proxy(ScriptedServer::Mode::Script,
                         [](const std::string&, const ScriptedServer::Connection& c) {
                             c.send("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
                         });
    {
        const ScopedEnv viaIt("all_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()));
        FtpSender viaProxy(FtpSettings{"127.0.0.1", 2121, "kbm", "secret", true, {}, {}}, box.log,
                           box.progress);
        EXPECT_FALSE(viaProxy.send(file, remoteName(file)));
    }
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_TRUE(proxy.requests()[0].starts_with("CONNECT 127.0.0.1:2121 ")) << proxy.requests()[0];
    EXPECT_EQ(proxy.requests()[0].find("second"), std::string::npos);
}

// The server's refusal is the reason; a hostile one is cut to a log line's length and loses its
// control characters.
TEST_F(FtpDeliveryTest, FailureCarriesTheServersReplyWithinBounds) {
    auto server = FtpServerPeer::refusingStore(remote, "kbm", "secret",
                                               "553 \x1b[31m" + std::string(5000, 'x'));
    ASSERT_NE(server.port(), 0) << server.log();
    const std::string file = box.source("h/a.txt");
    FtpSender ftp = sender(server, true);
    EXPECT_FALSE(ftp.send(file, remoteName(file)));
    EXPECT_THAT(noted(), ElementsAre("Sending to FTP failed: " + file + " (553  [31m" +
                                     std::string(191, 'x') + "...)"));
}

TEST_F(FtpDeliveryTest, FilesNotSentAreSentAtTheNextRun) {
    const std::string a = box.source("d/a.txt", "first");
    const std::string b = box.source("d/sub/b.txt", "second");
    box.run_.include = {{a, 0, 1}, {(box.src / native("d/sub")).string(), 1, 0}};

    // No host: nothing is sent and nothing logged, but the files stay due.
    box.run_.settings.host = "";
    box.run();
    EXPECT_EQ(box.queue(), a + "\t0\r\n" + b + "\t1\r\n");
    EXPECT_TRUE(noted().empty());
    EXPECT_TRUE(box.progress.status.empty());

    // A server that is down fails every file.
    int port = 0;
    {
        FtpServerPeer server(remote, "kbm", "secret");
        port = server.port();
    }
    ASSERT_NE(port, 0);
    box.run_.settings.host = "127.0.0.1";
    box.run_.settings.port = port;
    box.clock.advance(std::chrono::hours(1));
    box.run();
    const std::string refused = " (Failed to connect to 127.0.0.1 port " + std::to_string(port);
    EXPECT_THAT(noted(),
                ElementsAre(::testing::StartsWith("Sending to FTP failed: " + a + refused),
                            ::testing::StartsWith("Sending to FTP failed: " + b + refused)));
    EXPECT_THAT(box.outcome.reason, ::testing::HasSubstr(" not reachable ("));

    // Once it runs, the next run delivers them all.
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    box.run_.settings.port = server.port();
    box.clock.advance(std::chrono::hours(1));
    box.run();
    EXPECT_EQ(readFile(remoteCopy(a)), "first");
    EXPECT_EQ(readFile(remoteCopy(b)), "second");
    EXPECT_EQ(noted().size(), 2u);
    EXPECT_EQ(box.outcome.filesCopied + box.outcome.bytesCopied, 2u + 11u);
    EXPECT_EQ(box.outcome.destination, "ftp://127.0.0.1:" + std::to_string(server.port()));
    // With nothing left to send, a server that can not be asked still fails the run.
    box.run_.settings.port = port;
    box.clock.advance(std::chrono::hours(1));
    box.run();
    EXPECT_THAT(box.outcome.reason, ::testing::HasSubstr(" not reachable ("));
}

// The markers say what the account holds only while it carries the id recorded beside them:
// an emptied account, or another in its place, is filled again. One that does not hand its id
// back is said to be so once, and is not filled again at every run.
TEST_F(FtpDeliveryTest, EmptiedOrReplacedAccountIsFilledAgain) {
    const std::string a = box.source("e/a.txt", "first");
    const std::string b = box.source("e/sub/b.txt", "second");
    box.run_.include = {{(box.src / "e").string(), 0, 0}};
    const fs::path id = remote / "backup" / ".kbm-destination";
    const auto runAfter = [&](const std::function<void()>& change) {
        change();
        fs::remove(box.log.file());
        box.clock.advance(std::chrono::hours(1));
        box.run();
        return noted();
    };
    const auto filled = [&] {
        return fs::exists(remoteCopy(a)) && readFile(remoteCopy(b)) == "second";
    };
    {
        FtpServerPeer server(remote, "kbm", "secret");
        ASSERT_NE(server.port(), 0) << server.log();
        box.run_.settings.port = server.port();
        const std::string account = "ftp://kbm@127.0.0.1:" + std::to_string(server.port());
        EXPECT_TRUE(runAfter([] {}).empty());
        const std::string first = readFile(id);
        EXPECT_THAT(first, ::testing::Truly(isDestinationId));
        // While the id holds, the markers are trusted: a copy deleted alone is not seen.
        EXPECT_TRUE(runAfter([&] { fs::remove(remoteCopy(a)); }).empty());
        EXPECT_FALSE(fs::exists(remoteCopy(a)));
        const std::string other(32, 'c');
        const std::pair<std::function<void()>, std::string> changes[] = {
            {[&] { fs::remove_all(remote / "backup"); }, ""}, // emptied
            {[&] { writeFile(id, other + "\n"); }, other},    // another's: shared from now on
            {[&] { writeFile(id, std::string(100, 'c')); }, ""}};
        for (const auto& [change, kept] : changes) {
            SCOPED_TRACE(kept);
            EXPECT_THAT(runAfter(change),
                        ElementsAre("Backup destination was emptied or replaced, every file is "
                                    "copied again: " +
                                    account));
            EXPECT_TRUE(filled());
            EXPECT_NE(readFile(id), first);
            EXPECT_EQ(readFile(id) == kept + "\n", !kept.empty());
            EXPECT_THAT(readFile(id), ::testing::Truly(isDestinationId));
            EXPECT_TRUE(runAfter([] {}).empty());
        }
    }
    fs::remove_all(remote / "backup");
    const auto writeOnly = FtpServerPeer::writeOnly(remote, "kbm", "secret");
    ASSERT_NE(writeOnly.port(), 0) << writeOnly.log();
    box.run_.settings.port = writeOnly.port();
    EXPECT_THAT(runAfter([] {}),
                ElementsAre("New backup destination, every file is copied again: ftp://kbm@"
                            "127.0.0.1:" +
                                std::to_string(writeOnly.port()),
                            "Backup destination does not hand back its id, an emptied or "
                            "replaced one is not noticed: ftp://kbm@127.0.0.1:" +
                                std::to_string(writeOnly.port())));
    EXPECT_TRUE(filled());
    EXPECT_TRUE(runAfter([&] { fs::remove_all(remote / "backup"); }).empty());
    EXPECT_FALSE(fs::exists(remoteCopy(a)));
}

// A server that refuses every connection, or takes it and never answers: after three files the
// run sends nothing more to it, and the rest wait for the next run.
TEST_F(FtpDeliveryTest, DeadServerEndsTheRunsSending) {
    ScriptedServer silent(ScriptedServer::Mode::Silent);
    ScriptedServer closing(ScriptedServer::Mode::AcceptAndClose); // never greets
    ASSERT_NE(silent.port() * closing.port(), 0);
    std::vector<std::string> files;
    for (int i = 0; i < 8; ++i)
        files.push_back(box.source("q/f" + std::to_string(i) + ".txt"));
    box.run_.include = {{(box.src / "q").string(), 0, 0}};
    for (const int port : {1, int{silent.port()}, int{closing.port()}}) {
        SCOPED_TRACE(port);
        fs::remove_all(box.data);
        fs::remove(box.log.file());
        box.run_.settings.port = port;
        FtpSender ftp(FtpSettings{"127.0.0.1", port, "kbm", "secret", true, {}, {}}, box.log,
                      box.progress);
        ftp.setTimeouts(1, 1);
        const auto start = std::chrono::steady_clock::now();
        box.run(&ftp);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
        const auto messages = box.logMessages();
        ASSERT_EQ(messages.size(), 4u) << ::testing::PrintToString(messages);
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(messages[i].starts_with("Sending to FTP failed: ")) << messages[i];
        EXPECT_EQ(messages[3], "FTP server 127.0.0.1:" + std::to_string(port) +
                                   " does not answer, 8 files wait for the next run");
        for (const std::string& file : files)
            EXPECT_FALSE(fs::exists(box.marker(file))) << file;
        EXPECT_THAT(box.outcome.reason, ::testing::HasSubstr(" not reachable ("));
        box.clock.advance(std::chrono::hours(1));
    }
}

TEST_F(FtpDeliveryTest, ConnectionDroppedMidFileIsReportedAndTheNextFileStillGoes) {
    auto dropping = FtpServerPeer::dropping(remote, "kbm", "secret", 8 * 1024);
    ASSERT_NE(dropping.port(), 0) << dropping.log();
    const std::string content = randomBytes(512 * 1024, 7);
    const std::string large = box.source("m/large.bin", content);
    const std::string small = box.source("m/small.txt", "tiny");
    // The copy of an earlier run stays in place: what arrived waits under a temporary name.
    fs::create_directories(remoteCopy(large).parent_path());
    writeFile(remoteCopy(large), "the copy of before");
    FtpSender ftp = sender(dropping, true);
    ftp.setTimeouts(10, 10);
    ftp.send(large, remoteName(large));
    ftp.send(small, remoteName(small));
    EXPECT_THAT(noted(), ElementsAre(::testing::AllOf(
                             ::testing::StartsWith("Sending to FTP failed: " + large + " ("),
                             ::testing::EndsWith(")"),
                             ::testing::SizeIs(::testing::Gt(large.size() + 26)))));
    EXPECT_EQ(readFile(remoteCopy(small)), "tiny");
    EXPECT_EQ(readFile(remoteCopy(large)), "the copy of before");
    std::vector<fs::path> leftovers;
    for (const auto& item : fs::directory_iterator(remoteCopy(large).parent_path()))
        if (item.path().filename().string().starts_with(".kbm-"))
            leftovers.push_back(item.path());
    ASSERT_EQ(leftovers.size(), 1u);
    const std::string partial = readFile(leftovers[0]);
    EXPECT_GE(partial.size(), 8u * 1024);
    EXPECT_LT(partial.size(), content.size());
    // The next upload of the file replaces the leftover and puts the whole file in place.
    const FtpServerPeer whole(remote, "kbm", "secret");
    FtpSender again = sender(whole, true);
    EXPECT_TRUE(again.send(large, remoteName(large)));
    EXPECT_EQ(readFile(remoteCopy(large)), content);
    EXPECT_FALSE(fs::exists(leftovers[0]));
}

TEST_F(FtpDeliveryTest, SourceCutShortWhileItIsReadCountsAsNotSent) {
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    // A source cut short while it is being read fails, and says so; whole, it is sent.
    const std::string cut = box.source("f/cut.bin", std::string(4096, 'c'));
    FtpSender ftp = sender(server, true);
    box.progress.onPump = [&] { fs::resize_file(cut, 1500); };
    EXPECT_FALSE(ftp.send(cut, remoteName(cut)));
    EXPECT_EQ(noted().back(),
              "Sending to FTP failed: " + cut + " (the file could not be read whole)");
    box.progress.onPump = nullptr;
    EXPECT_TRUE(ftp.send(cut, remoteName(cut)));
    EXPECT_EQ(readFile(remoteCopy(cut)), std::string(1500, 'c'));
    EXPECT_EQ(noted().size(), 1u);
}

TEST_F(FtpDeliveryTest, FilesOfAFolderStoredIntoBeforeGoInOneStore) {
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    const std::string a = box.source("deep/er/still/a.txt", "A");
    const std::string b = box.source("deep/er/still/b.txt", "B");
    const std::string c = box.source("deep/er/still/c.txt", "C");
    FtpSender ftp = sender(server, true);
    ASSERT_TRUE(ftp.send(a, remoteName(a)));
    // The folder is known now: the next file is stored without walking to it.
    const std::size_t logged = server.log().size();
    ASSERT_TRUE(ftp.send(b, remoteName(b)));
    const std::string commands = server.log().substr(logged);
    EXPECT_EQ(commands.find("<- CWD"), std::string::npos) << commands;
    EXPECT_NE(commands.find("<- STOR backup/"), std::string::npos) << commands;
    // A known folder that went away on the server meanwhile is made again.
    fs::remove_all(remote / "backup");
    EXPECT_TRUE(ftp.send(c, remoteName(c)));
    EXPECT_EQ(readFile(remoteCopy(a)), "");
    EXPECT_EQ(readFile(remoteCopy(c)), "C");
    EXPECT_TRUE(noted().empty());
}

TEST_F(FtpDeliveryTest, RunRepaintsTheWindowOnlyWhenItsPaceAllows) {
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    // 3 MB in 1024-byte blocks while the clock stands still: the window is pumped once, and at
    // the end of the run it is shown the last state of every bar and of the status line.
    const std::string large = box.source("t/large.bin", std::string(3 * 1024 * 1024, 'x'));
    box.run_.include = {{large, 0, 1}};
    box.run_.settings.port = server.port();
    box.run();
    EXPECT_EQ(readFile(remoteCopy(large)).size(), 3u * 1024 * 1024);
    EXPECT_EQ(box.progress.pumps, 1);
    ASSERT_FALSE(box.progress.transfer.empty());
    EXPECT_EQ(box.progress.transfer.back(), 99);
    EXPECT_EQ(box.progress.status, std::vector<std::string>{"large.bin -> 127.0.0.1"});
    ASSERT_FALSE(box.progress.overall.empty());
    EXPECT_EQ(box.progress.overall.back(),
              100 * (static_cast<int>(large.size()) + 2) / (static_cast<int>(large.size()) + 5));
}

TEST(FtpUrlTest, ComponentsAreEncodedBelowBackup) {
    FtpSettings s{"ftp.example", 0, "u", "p", false, {}, {}};
    EXPECT_EQ(ftpUrl(s, "home/a b/x#1.txt"), "ftp://ftp.example:21/backup/home/a%20b/x%231.txt");
    EXPECT_EQ(ftpUrl(s, "~my-dir_1/100%\xC3\xA4;.t?t"),
              "ftp://ftp.example:21/backup/~my-dir_1/100%25%C3%A4%3B.t%3Ft");
    s.port = 0x10000 + 2121; // only the low 16 bits count
    EXPECT_EQ(ftpUrl(s, "f.txt"), "ftp://ftp.example:2121/backup/f.txt");
    s.host = "::1";
    EXPECT_EQ(ftpUrl(s, "f.txt"), "ftp://[::1]:2121/backup/f.txt");
    EXPECT_EQ(ftpUrl(s, ""), "");
    EXPECT_EQ(ftpUrl(s, "folder/"), "");
}

} // namespace
} // namespace kestrun::test
