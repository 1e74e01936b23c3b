#include "kbm/destination_identity.h"
#include "kbm/ftp_tls.h"
#include "kbm/paths.h"
#include "tests/kbm/kbm_test_support.h"
#include "tests/kbm/vsftpd_peer.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <memory>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using Tls = VsftpdPeer::Tls;
using namespace std::chrono_literals;

// Runs that send to Debian's vsftpd, the server offices run, with its anonymous account.
class VsftpdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    VsftpdTest() : remote(box.root / "ftp-root") {
        fs::create_directories(remote);
        box.run_.settings.destinationIsFolder = 0;
        box.run_.settings.host = "127.0.0.1";
        box.run_.settings.user = "anonymous";
        box.run_.settings.password = "secret";
    }

    // vsftpd in the setup, with a certificate the working folder trusts; the run sends to it.
    std::unique_ptr<VsftpdPeer> start(Tls tls) {
        if (tls != Tls::None && certificate.cert.empty())
            certificate = trustedCertificate(box, "vsftpd");
        auto server = std::make_unique<VsftpdPeer>(remote, tls, certificate);
        box.run_.settings.port = server->port();
        return server;
    }

    // Whether the remote copy of a source holds exactly `content`.
    bool arrived(const std::string& source, const std::string& content) const {
        const fs::path copy = remote / "backup" / *relativePath(source);
        return fs::exists(copy) && readFile(copy) == content;
    }

    // The temporary files of uploads on the server.
    std::vector<fs::path> leftovers() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(remote))
            if (entry.path().filename().string().starts_with(".kbm-") &&
                entry.path().filename() != kDestinationIdentityFile)
                found.push_back(entry.path());
        return found;
    }

    KbmSandbox box;
    fs::path remote;
    Certificate certificate;
};

struct Setup {
    Tls tls;
    int passive;
};

class VsftpdSetupTest : public VsftpdTest, public ::testing::WithParamInterface<Setup> {};

// Every file arrives whole under its own name, over TLS wherever the server offers it: a server
// that requires it refuses data in clear, and the log shows the data connections protected.
TEST_P(VsftpdSetupTest, DeliversEveryFileByteExact) {
    const auto [tls, passive] = GetParam();
    const auto server = start(tls);
    if (server->port() == 0)
        GTEST_SKIP() << server->whyNot();
    const std::vector<std::string> files{
        box.source("Data/Reports/2024/notes.txt", "line one\r\nline two\n"),
        box.source("Data/with space & 100%/a file name.txt", "spaced"),
        box.source("Data/big.bin", randomBytes((1 << 20) + 4099, 3)),
        box.source("Data/empty.dat", "")};
    box.run_.include = {{(box.src / "Data").string(), 0, 0}};
    box.run_.settings.passive = passive;
    box.run();
    for (const std::string& file : files) {
        EXPECT_TRUE(arrived(file, readFile(file))) << file;
        EXPECT_TRUE(fs::exists(box.marker(file))) << file;
    }
    EXPECT_TRUE(leftovers().empty());
    std::vector<std::string> said;
    const std::string address = "127.0.0.1:" + std::to_string(server->port());
    if (tls == Tls::None)
        said.push_back("FTP to " + address +
                       " is not encrypted: the password and the files go in clear");
    // A libcurl that can not encrypt active-mode data goes passive, and says so.
    const bool goesPassive = tls != Tls::None && activeDataTlsBroken(runtimeLibcurlVersion());
    if (!passive && goesPassive)
        said.push_back("FTP over TLS uses passive mode: libcurl " + runtimeLibcurlVersionText() +
                       " can not encrypt active-mode data connections");
    EXPECT_EQ(box.logMessages(), said);
    const std::string log = server->log();
    const auto asked = [&](const std::string& command) {
        return log.find("FTP command: Client \"127.0.0.1\", \"" + command) != std::string::npos;
    };
    EXPECT_EQ(asked("PROT P"), tls != Tls::None) << log;
    EXPECT_FALSE(asked("PROT C")) << log;
    EXPECT_EQ(asked("EPRT") || asked("PORT"), !passive && !goesPassive) << log;

    // The server's files deleted: the next run fills the account again, a file changed since
    // in its new state, the folders made again.
    for (const auto& entry : fs::directory_iterator(remote / "backup"))
        fs::remove_all(entry.path());
    writeFile(files[0], "changed");
    setModifiedRelative(files[0], files[1], 10);
    fs::remove(box.log.file());
    box.clock.advance(1h);
    box.run();
    for (const std::string& file : files)
        EXPECT_TRUE(arrived(file, readFile(file))) << file;
    said.push_back("Backup destination was emptied or replaced, every file is copied again: "
                   "ftp://anonymous@" +
                   address);
    EXPECT_EQ(box.logMessages(), said);
}

// vsftpd ends mid-file, as in a crash: the copy of the last run stays in place and the rest waits
// under the temporary name until the next run, which replaces both.
TEST_F(VsftpdTest, ServerKilledMidFileLeavesThePreviousCopy) {
    auto server = start(Tls::Required);
    if (server->port() == 0)
        GTEST_SKIP() << server->whyNot();
    const std::string before = randomBytes(8 << 20, 1);
    const std::string after = randomBytes(8 << 20, 2);
    const std::string large = box.source("k/large.bin", before);
    box.run_.include = {{large, 0, 1}};
    box.run_.settings.passive = 1;
    box.run();
    ASSERT_TRUE(arrived(large, before));
    writeFile(large, after);
    // The window is shown a new state about once a percent while the clock moves.
    int pumps = 0;
    box.progress.onPump = [&] {
        box.clock.advance(100ms);
        if (++pumps == 20)
            server->kill();
    };
    box.clock.advance(1h);
    box.run();
    ASSERT_GE(pumps, 20);
    EXPECT_THAT(box.logMessages(), ::testing::ElementsAre(::testing::StartsWith(
                                       "Sending to FTP failed: " + large + " (")));
    EXPECT_TRUE(arrived(large, before));
    const auto torn = leftovers();
    ASSERT_EQ(torn.size(), 1u);
    EXPECT_LT(fs::file_size(torn[0]), after.size());
    box.progress.onPump = nullptr;
    server = start(Tls::Required);
    box.clock.advance(1h);
    box.run();
    EXPECT_TRUE(arrived(large, after));
    EXPECT_TRUE(leftovers().empty());
    EXPECT_TRUE(fs::exists(box.marker(large)));
}

const Setup kSetups[] = {{Tls::None, 1},    {Tls::None, 0},     {Tls::Offered, 1},
                         {Tls::Offered, 0}, {Tls::Required, 1}, {Tls::Required, 0}};
std::string setupName(const ::testing::TestParamInfo<Setup>& setup) {
    const char* tls[] = {"Plain", "TlsOffered", "TlsRequired"};
    return tls[static_cast<int>(setup.param.tls)] +
           std::string(setup.param.passive ? "Passive" : "Active");
}
INSTANTIATE_TEST_SUITE_P(Setups, VsftpdSetupTest, ::testing::ValuesIn(kSetups), setupName);

} // namespace
} // namespace kestrun::test
