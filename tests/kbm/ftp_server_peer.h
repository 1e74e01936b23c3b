#pragma once

#include "tests/support/host_programs.h"
#include "tests/support/test_support.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestrun::test {

// A real FTP server on 127.0.0.1 (pyftpdlib) serving a folder with one writable account,
// started in the constructor (on a free port unless one is given) and ended in the destructor.
// port() is 0 when it did not start.
class FtpServerPeer {
public:
    FtpServerPeer(const std::filesystem::path& root, const std::string& user,
                  const std::string& password, int port = 0);
    // The same, but the server drops the connection after `dropAfterBytes` of every upload.
    static FtpServerPeer dropping(const std::filesystem::path& root, const std::string& user,
                                  const std::string& password, int dropAfterBytes);
    // The same, but the server answers every STOR with the reply and stores nothing.
    static FtpServerPeer refusingStore(const std::filesystem::path& root, const std::string& user,
                                       const std::string& password, const std::string& reply);
    // The same, but the account may store files and not fetch them (`writeOnly`), or the
    // server refuses to rename onto an existing name.
    static FtpServerPeer writeOnly(const std::filesystem::path& root, const std::string& user,
                                   const std::string& password);
    static FtpServerPeer noRenameOver(const std::filesystem::path& root, const std::string& user,
                                      const std::string& password);
    // The same, but the server offers explicit TLS with the certificate and its key.
    static FtpServerPeer tls(const std::filesystem::path& root, const std::string& user,
                             const std::string& password, const std::filesystem::path& cert,
                             const std::filesystem::path& key);
    ~FtpServerPeer();
    FtpServerPeer(FtpServerPeer&&) = default;

    int port() const { return port_; }
    // What the server logged so far (every command it received: "<- EPSV", ...).
    std::string log() const;

private:
    FtpServerPeer() = default;
    void start(const std::vector<std::string>& arguments);
    // Starts tests/peers/ftp_server.py with the account and the options.
    static FtpServerPeer script(const std::filesystem::path& root, const std::string& user,
                                const std::string& password,
                                const std::vector<std::string>& options);

    std::unique_ptr<TempDir> logDir_;
    std::unique_ptr<HostProgram> process_;
    int port_ = 0;
};

} // namespace kestrun::test
