#pragma once

#include "kbm/ftp_sender.h"
#include "platform/path_rules.h"
#include "tests/kbm/ftp_server_peer.h"
#include "tests/kbm/kbm_test_support.h"
#include "tests/kestrun/update/http_server_peer.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kestrun::test {

// The name a TLS server of the tests is reached by. Schannel, through libcurl 7.88, matches a
// certificate to its DNS names alone, never to an address: on Windows it is named "localhost".
#ifdef _WIN32
inline constexpr const char* kTlsHost = "localhost";
#else
inline constexpr const char* kTlsHost = "127.0.0.1";
#endif

// A run to a real FTP server of the sandbox: its account's root folder, the run's settings
// pointed at 127.0.0.1.
class FtpDeliveryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    FtpDeliveryTest() : remote(box.root / "ftp-root") {
        std::filesystem::create_directories(remote);
        box.run_.settings.destinationIsFolder = 0;
        box.run_.settings.host = "127.0.0.1";
        box.run_.settings.user = "kbm";
        box.run_.settings.password = "secret";
    }

    // The log without the line that a plain server gets once per run.
    std::vector<std::string> noted() const {
        auto messages = box.logMessages();
        std::erase_if(messages, [](const std::string& m) {
            return m.ends_with(" is not encrypted: the password and the files go in clear");
        });
        return messages;
    }

    // A pyftpdlib that offers TLS with a certificate ca.pem trusts.
    FtpServerPeer trustedTlsServer() {
        const Certificate certificate = trustedCertificate(box, "ftp");
        auto server =
            FtpServerPeer::tls(remote, "kbm", "secret", certificate.cert, certificate.key);
        box.run_.settings.port = server.port();
        return server;
    }

    // A run from scratch: no markers, nothing on the server, an empty log.
    void runAfresh(int passive) {
        std::filesystem::remove_all(remote / "backup");
        std::filesystem::remove_all(box.data);
        std::filesystem::remove(box.log.file());
        box.run_.settings.passive = passive;
        box.clock.advance(std::chrono::hours(1));
        box.run();
    }

    // The remote copy of a source.
    std::filesystem::path remoteCopy(const std::string& source) const {
        return remote / "backup" / *relativePath(source);
    }

    // The name a source is sent under, below the account's backup folder ("/" between folders,
    // as the run gives it).
    static std::string remoteName(const std::string& source) {
        return withForwardSlashes(*relativePath(source));
    }

    FtpSender sender(const FtpServerPeer& server, bool passive) {
        return FtpSender(FtpSettings{"127.0.0.1", server.port(), "kbm", "secret", passive, {}, {}},
                         box.log, box.progress);
    }

    KbmSandbox box;
    std::filesystem::path remote;
};

} // namespace kestrun::test
