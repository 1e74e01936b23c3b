#include "tests/kestrun/update/lan_client_fixture.h"

#include "platform/path_rules.h"

#include <map>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using kestrun::test::LanClientFixture;
using kestrun::test::ScriptedServer;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// The mirror's bounds against servers that list more than a language mirror needs.
class LanguageBudgetTest : public LanClientFixture {
protected:
    LanguageBudgetTest() { settings_.upost = 0; }
    fs::path local(const std::string& name) const { return zelmoDir_ / name; }
    std::string folder() const { return zelmoDir_.path().string() + kestrun::pathSeparator(); }
    // A server that lists what list() gives, announces size bytes for each and sends body().
    void serve(std::function<std::string()> list, const std::string& size,
               std::function<void(const ScriptedServer::Connection&)> body) {
        const auto script = [=](const std::string& request, const ScriptedServer::Connection& c) {
            if (request == "getLang\r\n")
                c.send(list());
            if (request.starts_with("getSize:"))
                c.send(size + "\n");
            if (request.starts_with("getFile:"))
                body(c);
        };
        peer_ = std::make_unique<ScriptedServer>(ScriptedServer::Mode::Script, script);
        useScripted(*peer_);
    }
    std::unique_ptr<ScriptedServer> peer_;
};

} // namespace

// A server that lists 20 large files whose stamps move forward at every poll, and two new ones
// each time: each run writes at most its limit, a file keeps only its three newest backups
// (only backups by our naming are counted or removed), and the mirror's files and backups stay
// within their own limit. The byte limits are scaled down; the program's own are numbers here.
TEST_F(LanguageBudgetTest, HostileListingStaysWithinItsBudget) {
    const kestrun::LanguageLimits program;
    EXPECT_EQ(
        std::tuple(program.runBytes, program.mirrorBytes, program.keptBackups, program.runTime),
        std::tuple(64 << 20, 256 << 20, 3u, std::chrono::minutes(5)));
    limits_.runBytes = 64 << 10;
    limits_.mirrorBytes = 256 << 10;
    limits_.diskSpace = [](const fs::path&) {
        return fs::space_info{1ull << 40, 1ull << 40, 1ull << 40};
    };
    std::atomic<int> poll{0};
    serve(
        [&] {
            const std::string p = std::to_string(poll);
            std::string list = "n" + p + "a.ini\t240315100000\nn" + p + "b.ini\t240315100000\n";
            for (int i = 0; i < 20; ++i)
                list +=
                    "h" + std::to_string(i) + ".ini\t2403151" + std::to_string(poll + 100) + "00\n";
            return list;
        },
        "16384", [](const auto& c) { c.send(std::string(16384, 'h')); });
    // Backups of h0.ini from before (newer by their stamps), and names that only look like ours: a
    // short stamp, an executable, backups of a program's name.
    for (const char* stamp : {"991231000001", "991231000002", "991231000003", "991231000004"})
        kestrun::test::writeFile(local("h0.ini-----" + std::string(stamp)), "b");
    Strings others = {"h0.ini-----2301"};
    for (const char* n : {"1", "2", "3", "4"})
        others.push_back("h0.exe-----23010100000" + std::string(n));
    if (kestrun::test::systemHasModeBits()) // where files carry one, an executable bit
        others.push_back("h0.ini-----220101000000");
    for (const std::string& name : others)
        kestrun::test::writeFile(local(name), "x");
    if (kestrun::test::systemHasModeBits())
        fs::permissions(local(others.back()), fs::perms(0755), fs::perm_options::replace);
    for (; poll < 10; ++poll) {
        fs::remove(log_.file());
        const std::int64_t written = runMirror();
        EXPECT_LE(written, limits_.runBytes);
        std::int64_t stored = 0;
        std::map<std::string, int> backups;
        for (const auto& e : fs::directory_iterator(zelmoDir_.path())) {
            stored += static_cast<std::int64_t>(e.file_size());
            const auto backup = kestrun::parseBackupName(e.path().filename().string());
            if (backup && (e.status().permissions() & fs::perms::owner_exec) == fs::perms::none)
                ++backups[backup->name];
        }
        EXPECT_LE(stored, limits_.mirrorBytes);
        EXPECT_LE(backups["h0.ini"], 3);
        const Strings lines = logMessages();
        EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
        // The backup just made is kept, though older than those left from before.
        if (poll > 0 &&
            std::count(lines.begin(), lines.end(), "h0.ini Language file was updated")) {
            EXPECT_TRUE(fs::exists(local("h0.ini-----2403151" + std::to_string(poll + 99) + "00")));
        }
        if (poll == 0) {
            EXPECT_EQ(Strings(lines.end() - 2, lines.end()),
                      (Strings{"Language file update reached its limit of 65536 bytes, the rest "
                               "follows at the next poll",
                               "1 old backups of Language files were removed, the 3 newest of "
                               "each file are kept"}));
        }
    }
    // Full: nothing more is written, whatever the server lists.
    fs::remove(log_.file());
    EXPECT_EQ(runMirror(), 0);
    EXPECT_EQ(logMessages(), Strings{"Language files and their backups reached their limit of "
                                     "262144 bytes: " +
                                     folder()});
    for (const std::string& name : others)
        EXPECT_EQ(kestrun::test::readFile(local(name)), "x");
}

// Nothing is written that would leave the disk less than 5% or 1 GiB free, nor when its free
// space cannot be read: the file is skipped with one line.
TEST_F(LanguageBudgetTest, DiskKeepsItsReserve) {
    constexpr std::uintmax_t GiB = 1ull << 30;
    struct Case {
        const char* name;
        std::optional<fs::space_info> space;
        bool written;
    } cases[] = {
        {"5% just kept", fs::space_info{100 * GiB, 5 * GiB + 8, 5 * GiB + 8}, true},
        {"5% not kept", fs::space_info{100 * GiB, 5 * GiB + 7, 5 * GiB + 7}, false},
        {"1 GiB not kept", fs::space_info{2 * GiB, GiB + 7, GiB + 7}, false},
        {"unreadable", std::nullopt, false},
    };
    serve([] { return "a.ini\t240315103000\n"; }, "8", [](const auto& c) { c.send("12345678"); });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(log_.file());
        limits_.diskSpace = [&c](const fs::path&) { return c.space; };
        runMirror();
        EXPECT_EQ(logMessages(),
                  Strings{c.written ? "a.ini Language file was updated"
                                    : "Language files not written, the disk would "
                                      "keep less than 5% or 1073741824 bytes free: " +
                                          folder()});
        EXPECT_EQ(fs::exists(local("a.ini")), c.written);
        fs::remove(local("a.ini"));
    }
}

// A run ends after its time, also in the middle of a body that a server trickles: nothing of
// it is left, and the rest waits for the next poll.
TEST_F(LanguageBudgetTest, ARunEndsAfterItsTime) {
    limits_.runTime = 30s;
    std::string list;
    for (int i = 0; i < 10; ++i)
        list += "t" + std::to_string(i) + ".ini\t240315103000\n";
    // A body of that size may take 10 s + 30.5 s.
    serve([=] { return list; }, "1000000",
          [this](const auto& c) {
              for (int i = 0; i < 1000 && c.send("t"); ++i) {
                  clock_.advance(1500ms);
                  std::this_thread::sleep_for(5ms);
              }
          });
    const std::uint64_t before = clock_.monotonicMs();
    runMirror();
    EXPECT_LE(clock_.monotonicMs() - before, 36000u);
    EXPECT_EQ(logMessages(), Strings{"Language file update stopped after 30 seconds, the rest "
                                     "follows at the next poll"});
    EXPECT_EQ(peer_->requests().size(), 3u); // the list, then the first file's size and body
    EXPECT_TRUE(filesBelow(zelmoDir_.path()).empty());
}
