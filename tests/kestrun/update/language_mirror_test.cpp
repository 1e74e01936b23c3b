#include "tests/kestrun/update/lan_client_fixture.h"

#include "kestrun/update/countdown.h"
#include "kestrun/update/update_socket.h"
#include "platform/file_time.h"
#include "tests/support/host_programs.h"

#include <map>
#include <stop_token>
#include <thread>

namespace fs = std::filesystem;
using kestrun::test::LanClientFixture;
using kestrun::test::readFile;
using kestrun::test::ScriptedServer;
using kestrun::test::writeFile;
using Strings = std::vector<std::string>;
using Mode = ScriptedServer::Mode;
using namespace std::string_literals;

namespace {

class LanguageMirrorTest : public LanClientFixture {
protected:
    fs::path local(const std::string& name) const { return zelmoDir_ / name; }
    fs::path dropped(const std::string& name) const { return serverDir_ / "Drop" / name; }
    // A transfer another process of this user's left half done when it was killed.
    fs::path leftover() const { return local(".kestrun-language-1-77-3.part"); }
    std::string programName() const { return fs::path(program_).filename().string(); }
    unsigned mode(const std::string& name) const {
        return static_cast<unsigned>(fs::status(local(name)).permissions()) & 07777;
    }
};

void touchAt(const fs::path& file, const std::string& stamp) { // touch -t, local time
    ASSERT_EQ(kestrun::test::runHostProgram("touch", {"-t", stamp, kestrun::test::hostPath(file)}),
              0);
}

// A peer whose list, sizes and file bodies the test gives.
struct FakeDrop {
    std::string list;
    std::map<std::string, std::string> sizes;  // name -> size reply
    std::map<std::string, std::string> bodies; // name -> bytes sent
    bool hangAfterBody = false;

    ScriptedServer::Script script() const {
        return [*this](const std::string& request, const ScriptedServer::Connection& c) {
            if (request == "getLang\r\n")
                c.send(list);
            const auto name = request.size() > 10 ? request.substr(8, request.size() - 10) : "";
            if (request.starts_with("getSize:") && sizes.count(name))
                c.send(sizes.at(name));
            if (request.starts_with("getFile:") && bodies.count(name)) {
                c.send(bodies.at(name));
                if (hangAfterBody)
                    c.hang();
            }
        };
    }
};

} // namespace

// Our own server's drop folder mirrored: a newer server file replaces the local one, which is
// kept under its stamp; a missing file is fetched without a backup; a local file newer than the
// server's stays; after a change the program is warned and closed.
TEST_F(LanguageMirrorTest, MirrorsTheDropFolder) {
    installProgram("117");
    startUpdateServer("118");
    writeFile(dropped("de.ini"), "[de]\nneu\n");
    writeFile(dropped("en.ini"), std::string(5000, 'e'));
    touchAt(dropped("en.ini"), "203001020304.05"); // a server whose clock is ahead
    writeFile(dropped("fr.ini"), "[fr]\nserver\n");
    touchAt(dropped("de.ini"), "202403151030.00");
    touchAt(dropped("fr.ini"), "202403151030.00");
    // A folder its group shares; the replaced file keeps its access, less any special bit.
    fs::permissions(zelmoDir_.path(), fs::perms(0770), fs::perm_options::replace);
    writeFile(local("de.ini"), "[de]\nalt\n");
    fs::permissions(local("de.ini"), fs::perms(04640), fs::perm_options::replace);
    touchAt(local("de.ini"), "202403140900.00");
    writeFile(local("fr.ini"), "[fr]\nlocal\n");
    touchAt(local("fr.ini"), "202403160900.00");
    settings_.upost = 12;
    // A backup name already taken by a link to a file elsewhere: the link is replaced, its
    // target left alone.
    writeFile(serverDir_ / "outside.txt", "keep");
    if (kestrun::test::systemMakesLinks())
        fs::create_symlink(serverDir_ / "outside.txt", local("de.ini-----240314090000"));

    runMirror();

    EXPECT_EQ(readFile(serverDir_ / "outside.txt"), "keep");
    EXPECT_FALSE(fs::is_symlink(local("de.ini-----240314090000")));

    EXPECT_EQ(readFile(local("de.ini")), "[de]\nneu\n");
    EXPECT_EQ(readFile(local("de.ini-----240314090000")), "[de]\nalt\n");
    EXPECT_EQ(readFile(local("en.ini")), std::string(5000, 'e'));
    EXPECT_EQ(readFile(local("fr.ini")), "[fr]\nlocal\n");
    if (kestrun::test::systemHasModeBits()) {
        EXPECT_EQ(mode("de.ini"), 0640u);
        EXPECT_EQ(mode("en.ini"), 0664u);
    }
    Strings log = logMessages();
    std::sort(log.begin(), log.end());
    EXPECT_EQ(log,
              (Strings{"de.ini Language file was updated", "en.ini Language file was updated"}));
    EXPECT_EQ(filesBelow(zelmoDir_.path()),
              (Strings{programName(), "de.ini", "de.ini-----240314090000", "en.ini", "fr.ini"}));
    const auto warn = [](std::uint32_t s) {
        return kestrun::countdownText(kestrun::kZelmoCountdownMessage, s);
    };
    EXPECT_EQ(balloons(), (Strings{warn(12), warn(2), ""}));
    EXPECT_FALSE(programRunning());

    // The fetched files carry the server's stamps, so the next run finds nothing to do.
    EXPECT_EQ(kestrun::localModificationTime(local("de.ini"))->format("%y%m%d%H%M%S"),
              "240315103000");
    EXPECT_EQ(kestrun::localModificationTime(local("en.ini"))->format("%y%m%d%H%M%S"),
              "300102030405");
    fs::remove(log_.file());
    runMirror();
    EXPECT_TRUE(logMessages().empty());
}

// Runs that change nothing: nothing is written, the program stays, and only a down server
// logs.
TEST_F(LanguageMirrorTest, RunsWithoutChange) {
    installProgram("117");
    struct Case {
        const char* name;
        std::optional<FakeDrop> drop; // none: nothing listens
        Strings lines;
    } cases[] = {
        {"server down", std::nullopt, {"Update server 7 is down: 127.0.0.1"}},
        {"empty", FakeDrop{"Empty", {{"de.ini", "5\n"}}, {{"de.ini", "12345"}}}, {}},
        {"line without tab", FakeDrop{"de.ini 240315103000\n", {}, {}}, {}},
        {"size 0", FakeDrop{"de.ini\t240315103000\n", {{"de.ini", "0\n"}}, {}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(log_.file());
        std::unique_ptr<ScriptedServer> peer;
        if (c.drop) {
            peer = std::make_unique<ScriptedServer>(Mode::Script, c.drop->script());
            useScripted(*peer);
        } else {
            settings_.uport = kestrun::test::closedPort();
        }
        runMirror();
        EXPECT_EQ(logMessages(), c.lines);
        EXPECT_EQ(filesBelow(zelmoDir_.path()), Strings{programName()});
        EXPECT_TRUE(balloons().empty());
    }
    EXPECT_TRUE(programRunning());
}

// A file whose backup cannot be made (its name is held by a folder) is the user's only copy:
// it is neither fetched over nor removed, and the entry is reported as not updated.
TEST_F(LanguageMirrorTest, FileWithoutBackupStaysAsItIs) {
    installProgram("117");
    writeFile(local("de.ini"), "[de]\nalt\n");
    touchAt(local("de.ini"), "202403140900.00");
    fs::create_directory(local("de.ini-----240314090000"));
    FakeDrop drop{"de.ini\t240315103000\n", {{"de.ini", "9\n"}}, {{"de.ini", "[de]\nneu\n"}}};
    ScriptedServer peer(Mode::Script, drop.script());
    useScripted(peer);
    runMirror();
    EXPECT_EQ(readFile(local("de.ini")), "[de]\nalt\n");
    EXPECT_TRUE(fs::is_directory(local("de.ini-----240314090000")));
    EXPECT_EQ(logMessages(), Strings{"de.ini Language file was not updated"});
    EXPECT_EQ(peer.requests(), Strings{"getLang\r\n"});
    EXPECT_TRUE(balloons().empty());
    EXPECT_TRUE(programRunning());
}

// A transfer that ends short or stalls for 5000 ms leaves the old file as it was and no partial
// file; one that brings more than announced stores only what was announced.
TEST_F(LanguageMirrorTest, ShortStalledAndLongTransfers) {
    // No program runs here: closing one would add its own wait to the clock.
    struct Case {
        const char* name;
        std::string body;
        bool hang;
        std::optional<std::string> stored; // none: the old file stays
        std::uint64_t virtualMs;
        bool broken = false; // the waiting connection fails instead of stalling
    } cases[] = {
        {"short, then closed", std::string(40, 'x'), false, std::nullopt, 0},
        {"nothing, then closed", "", false, std::nullopt, 0},
        {"short, then stalled", std::string(40, 'x'), true, std::nullopt, 5000},
        {"short, then failed", std::string(40, 'x'), true, std::nullopt, 0, true},
        {"more than announced", std::string(150, 'y'), false, std::string(100, 'y'), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(log_.file());
        writeFile(local("de.ini"), "old");
        touchAt(local("de.ini"), "202403140900.00");
        FakeDrop drop{
            "de.ini\t240315103000\n", {{"de.ini", "100\n"}}, {{"de.ini", c.body}}, c.hang};
        ScriptedServer peer(Mode::Script, drop.script());
        useScripted(peer);
        wait_.breakSilentReads = c.broken;
        const std::uint64_t before = clock_.monotonicMs();
        // A mirror that spins on the failed connection is let out by virtual time, which
        // the time check below then reports.
        std::jthread watchdog;
        if (c.broken)
            watchdog = std::jthread([this](std::stop_token stop) {
                for (int i = 0; i < 100 && !stop.stop_requested(); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (!stop.stop_requested())
                    clock_.advance(std::chrono::hours(1));
            });
        runMirror();
        if (watchdog.joinable()) {
            watchdog.request_stop();
            watchdog.join();
        }
        const bool complete = c.stored.has_value();
        EXPECT_EQ(logMessages(), Strings{complete ? "de.ini Language file was updated"
                                                  : "de.ini Language file was not updated"});
        EXPECT_EQ(readFile(local("de.ini")), c.stored.value_or("old"));
        EXPECT_EQ(filesBelow(zelmoDir_.path()), (Strings{"de.ini", "de.ini-----240314090000"}));
        // The countdown of a complete transfer is not part of the transfer's time.
        EXPECT_EQ(clock_.monotonicMs() - before - static_cast<std::uint64_t>(complete ? 60000 : 0),
                  c.virtualMs);
        fs::remove(local("de.ini"));
        fs::remove(local("de.ini-----240314090000"));
    }
}

// Two mirrors into one folder at once, as the programs of users who share an installation
// run: the second starts while the first is fetching, and neither takes the other's file.
TEST_F(LanguageMirrorTest, MirrorsAtOnceKeepTheirTransfersApart) {
    settings_.upost = 0;
    std::atomic<int> lists{0};
    ScriptedServer peer(Mode::Script, [&](const std::string& request, const auto& c) {
        if (request == "getLang\r\n")
            c.send(lists++ == 0 ? "de.ini\t240315103000\n" : "en.ini\t240315103000\n");
        if (request.starts_with("getSize:"))
            c.send(request == "getSize:de.ini\r\n" ? "3\n" : "2\n");
        if (request == "getFile:en.ini\r\n")
            c.send("en");
        if (request == "getFile:de.ini\r\n" && c.send("d")) {
            kestrun::LanguageMirror(engine()).update();
            c.send("eu");
        }
    });
    useScripted(peer);
    runMirror();
    EXPECT_EQ(filesBelow(zelmoDir_.path()), (Strings{"de.ini", "en.ini"}));
    EXPECT_EQ(readFile(local("de.ini")), "deu");
}

// Names that would write outside the program's folder and absurd names: nothing is fetched for
// them and nothing is written anywhere but the program's folder.
TEST_F(LanguageMirrorTest, HostileListsWriteNothingOutside) {
    installProgram("117");
    const std::string longName(5000, 'n');
    // Names with control bytes would forge lines of the log.
    const Strings names = {"../evil.ini", "sub/evil.ini", "..\\evil.ini", "",
                           "..",          longName,       "ok.ini",       "cr\r.ini",
                           "bell\a.ini",  "del\x7f.ini"};
    std::string list;
    for (const std::string& name : names)
        list += name + "\t240315103000\n";
    FakeDrop drop{list, {}, {}};
    for (const std::string& name : names) {
        drop.sizes[name] = "4\n";
        drop.bodies[name] = "evil";
    }
    ScriptedServer peer(Mode::Script, drop.script());
    useScripted(peer);
    settings_.upost = 0;
    runMirror();
    EXPECT_EQ(logMessages(), Strings{"ok.ini Language file was updated"});
    EXPECT_EQ(filesBelow(zelmoDir_.path()), (Strings{programName(), "ok.ini"}));
    EXPECT_FALSE(fs::exists(zelmoDir_.path().parent_path() / "evil.ini"));
    // Only the list, then the one good entry's size and body.
    EXPECT_EQ(peer.requests().size(), 3u);
}

// What a hostile peer lists or sends: only language files are written, never through a link,
// never over an executable, and lists, files and slow replies are bounded.
TEST_F(LanguageMirrorTest, HostilePeersWriteOnlyLanguageFiles) {
    using namespace std::chrono_literals;
    installProgram("117", false);
    programList_ = {"backup-tool"};
    writeFile(serverDir_ / "outside.txt", "keep");
    const std::string program = programName();
    std::string upperProgram = program;
    std::transform(program.begin(), program.end(), upperProgram.begin(), ::toupper);
    const auto offering = [](const Strings& names, const std::string& size = "4\n") {
        FakeDrop drop;
        for (const std::string& name : names) {
            drop.list += name + "\t240315103000\n";
            drop.sizes[name] = size;
            drop.bodies[name] = "evil";
        }
        return drop.script();
    };
    const auto no = [](const std::string& name, const std::string& reason) {
        return name + " Language file was not updated: " + reason;
    };
    const std::string notWhole = "Update server 7 sent no whole list: 127.0.0.1";
    // Twelve transfers that end short: ten lines, then one that counts the rest.
    Strings shortNames(12), shortLines{"2 more Language files were not updated"};
    for (int i = 0; i < 12; ++i)
        shortNames[i] = "s" + std::to_string(i) + ".ini";
    for (int i = 9; i >= 0; --i)
        shortLines.insert(shortLines.begin(), shortNames[i] + " Language file was not updated");
    constexpr int kLink = -1;
    struct Case {
        const char* name;
        ScriptedServer::Script script;
        Strings lines;
        int deIni = 0; // a local de.ini of this mode (kLink: a link to a file outside), 0: none
        const char* stamp = "202403140900.00";
        std::size_t requests = 1;
        std::uint64_t maxVirtualMs = 0;
    } cases[] = {
        {"the client executable, any case, and its companions",
         offering({upperProgram, program + ".", program + ".5.2.0.117"}),
         {no(upperProgram, "the name of a program"), no(program + ".", "the name of a program"),
          no(program + ".5.2.0.117", "the name of a program")}},
        {"a supervised program and its companion",
         offering({"Backup-Tool", "backup-tool.EXE.config"}),
         {no("Backup-Tool", "the name of a program"),
          no("backup-tool.EXE.config", "the name of a program")}},
        {"runnable suffixes",
         offering({"evil.exe", "run.SH", "libx.so.1", ".profile"}),
         {no("evil.exe", "the suffix of a program"), no("run.SH", "the suffix of a program"),
          no("libx.so.1", "the suffix of a program"), no(".profile", "a hidden name")}},
        {"a link in its place",
         offering({"de.ini"}),
         {no("de.ini", "a link is in its place")},
         kLink},
        {"an executable in its place",
         offering({"de.ini"}),
         {no("de.ini", "an executable file is in its place")},
         0755},
        {"the same stamp", offering({"de.ini"}), {}, 0644, "202403151030.00"},
        {"a file too large",
         offering({"de.ini"}, "16777217\n"),
         {no("de.ini", "larger than 16777216 bytes")},
         0,
         "",
         2},
        {"a list too long", offering({std::string(4 * 1024 * 1024, 'a')}), {notWhole}},
        {"too many entries", offering(Strings(1001, "a.ini")), {notWhole}},
        {"many transfers that end short", offering(shortNames, "5\n"), shortLines, 0, "", 25},
        {"a list trickled a byte every 1.5 s",
         [&](const std::string&, const ScriptedServer::Connection& c) {
             for (int i = 0; i < 100 && c.send("a"); ++i) {
                 clock_.advance(1500ms);
                 std::this_thread::sleep_for(5ms);
             }
         },
         {notWhole},
         0,
         "",
         1,
         14000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(log_.file());
        // A link, and an executable by its mode, only where the system makes them.
        if (c.deIni == kLink ? !kestrun::test::systemMakesLinks()
                             : (c.deIni & 0111) && !kestrun::test::systemHasModeBits())
            continue;
        if (c.deIni == kLink) {
            fs::create_symlink(serverDir_ / "outside.txt", local("de.ini"));
        } else if (c.deIni) {
            writeFile(local("de.ini"), "old");
            fs::permissions(local("de.ini"), fs::perms(c.deIni), fs::perm_options::replace);
            touchAt(local("de.ini"), c.stamp);
        }
        if (c.deIni)
            writeFile(leftover(), "half");
        ScriptedServer peer(Mode::Script, c.script);
        useScripted(peer);
        const std::uint64_t before = clock_.monotonicMs();
        runMirror();
        if (c.maxVirtualMs) {
            EXPECT_LE(clock_.monotonicMs() - before, c.maxVirtualMs);
        }
        EXPECT_EQ(logMessages(), c.lines);
        EXPECT_EQ(filesBelow(zelmoDir_.path()),
                  (c.deIni ? Strings{program, "de.ini"} : Strings{program}));
        // What the peer sends beyond the reads waits in the system, not in our memory.
        EXPECT_LE(wait_.mostBuffered, kestrun::CUpdateSocket::kReadBufferSize);
        EXPECT_EQ(peer.requests().size(), c.requests);
        EXPECT_EQ(readFile(program_), standIn("117"));
        EXPECT_EQ(readFile(serverDir_ / "outside.txt"), "keep");
        if (fs::is_regular_file(fs::symlink_status(local("de.ini")))) {
            EXPECT_EQ(readFile(local("de.ini")), "old");
        }
        EXPECT_TRUE(balloons().empty());
        fs::remove(local("de.ini"));
    }
}
