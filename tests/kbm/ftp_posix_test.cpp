#include "common/log_writer.h"
#include "tests/kbm/ftp_delivery_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

// The FTP delivery's cases that need POSIX: a FIFO among the sources, a control character in a
// name, a ca.pem others may write, and OpenSSL's words for a certificate it does not trust.

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

TEST_F(FtpDeliveryTest, SourcesNotReadWholeCountAsNotSent) {
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    // A source that cannot be opened (a FIFO) is not sent: the server keeps its copy, the log
    // names the file, and it stays due: its marker goes, so the next run tries it again.
    const fs::path fifo = box.src / "f/pipe.txt";
    fs::create_directories(fifo.parent_path());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    fs::create_directories(remoteCopy(fifo.string()).parent_path());
    writeFile(remoteCopy(fifo.string()), "the copy of before");
    box.run_.include = {{fifo.string(), 0, 1}};
    box.run_.settings.port = server.port();
    box.run();
    EXPECT_EQ(readFile(remoteCopy(fifo.string())), "the copy of before");
    EXPECT_THAT(noted(), ElementsAre("Sending to FTP failed: " + fifo.string() +
                                     " (not a regular file that can be read)"));
    EXPECT_FALSE(fs::exists(box.marker(fifo.string())));
}

TEST_F(FtpDeliveryTest, FailuresAreLoggedPerFileAndTheRunGoesOn) {
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    const std::string a = box.source("w/a.txt");
    const std::string b = box.source("w/b.txt");
    const std::string missing = (box.src / native("w/missing.txt")).string();
    // libcurl refuses a control character in an FTP path.
    const std::string odd = box.source("w/bell\x07.txt");
    box.run_.include = {{a, 0, 1}, {missing, 0, 1}, {odd, 0, 1}, {b, 0, 1}};
    box.run_.settings.port = server.port();
    box.run_.settings.password = "wrong";
    // Each failure says why: the server's refusal, or libcurl's reason.
    const auto perFile = [&](const std::string& why) {
        return std::vector<std::string>{
            "Sending to FTP failed: " + a + " (" + why + ")",
            "Can not find source file: " + missing,
            printableLogMessage("Sending to FTP failed: " + odd +
                                " (The name holds a control character, which FTP can not "
                                "carry.)"),
            "Sending to FTP failed: " + b + " (" + why + ")"};
    };
    box.run();
    EXPECT_EQ(noted(), perFile("530 Authentication failed."));
    EXPECT_FALSE(fs::exists(remote / "backup"));
    EXPECT_THAT(box.outcome.reason,
                ::testing::StartsWith("FTP server 127.0.0.1:" + std::to_string(server.port()) +
                                      " refused the login ("));

    // A TLS server whose certificate is not trusted gets no login and no file: not without
    // ca.pem, not with another certificate in it, nor with its own in a ca.pem others may write.
    const Certificate site = makeCertificate(box.root.path(), "site");
    const Certificate other = makeCertificate(box.root.path(), "other");
    ASSERT_FALSE(site.cert.empty() || other.cert.empty());
    auto tls = FtpServerPeer::tls(remote, "kbm", "secret", site.cert, site.key);
    ASSERT_NE(tls.port(), 0) << tls.log();
    box.run_.settings.port = tls.port();
    box.run_.settings.password = "secret";
    const std::pair<fs::path, fs::perms> trusts[] = {
        {"", fs::perms::none}, {other.cert, fs::perms::none}, {site.cert, fs::perms::others_write}};
    for (const auto& [cert, extra] : trusts) {
        SCOPED_TRACE(cert.string());
        fs::remove(box.log.file());
        fs::remove(box.work / "ca.pem");
        if (!cert.empty()) {
            writeFile(box.work / "ca.pem", readFile(cert));
            fs::permissions(box.work / "ca.pem", extra, fs::perm_options::add);
        }
        box.clock.advance(std::chrono::hours(1));
        box.run();
        auto messages = noted();
        if (extra != fs::perms::none) {
            ASSERT_FALSE(messages.empty());
            EXPECT_EQ(messages[0], "Certificates are not used: others may change " +
                                       (box.work / "ca.pem").string());
            messages.erase(messages.begin());
        }
        ASSERT_EQ(messages.size(), 5u) << ::testing::PrintToString(messages);
        EXPECT_TRUE(messages[0].starts_with(
            "FTP over TLS refused, the server's certificate is not trusted: "))
            << messages[0];
        messages.erase(messages.begin());
        const std::string failedA = "Sending to FTP failed: " + a + " (";
        ASSERT_TRUE(messages[0].starts_with(failedA + "SSL certificate problem: ")) << messages[0];
        EXPECT_EQ(messages, perFile(messages[0].substr(failedA.size(),
                                                       messages[0].size() - failedA.size() - 1)));
        EXPECT_THAT(box.outcome.reason, ::testing::HasSubstr(" not usable (SSL"));
    }
    EXPECT_EQ(tls.log().find("<- USER"), std::string::npos) << tls.log();
    EXPECT_FALSE(fs::exists(remote / "backup"));
}

} // namespace
} // namespace kestrun::test
