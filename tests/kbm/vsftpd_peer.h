#pragma once

#include "tests/kestrun/update/http_server_peer.h"

#include <QProcess>
#include <QTemporaryDir>

#include <filesystem>
#include <string>

namespace kestrun::test {

// Debian's vsftpd on 127.0.0.1 as an office runs it, started in the foreground on a free port
// with a configuration of its own (in a temporary folder: its own passive ports, a log of every
// command and reply), and ended with its sessions in the destructor. It serves `root` to the
// anonymous account (user "anonymous", any password), which may make folders, store, overwrite
// and rename below root/backup: vsftpd serves an anonymous account no root it may write, so
// root stays as it is and only its folder backup is opened to the account. port() is 0 when
// vsftpd is not installed or did not start (it must be started as root); whyNot() says why.
class VsftpdPeer {
public:
    // Required: for the login and for every data connection.
    enum class Tls { None, Offered, Required };

    VsftpdPeer(const std::filesystem::path& root, Tls tls, const Certificate& certificate = {});
    ~VsftpdPeer();
    VsftpdPeer(const VsftpdPeer&) = delete;
    VsftpdPeer& operator=(const VsftpdPeer&) = delete;

    int port() const { return port_; }
    const std::string& whyNot() const { return whyNot_; }
    // vsftpd's log so far: "FTP command: Client "127.0.0.1", "PROT P"", its replies, uploads.
    std::string log() const;
    // Ends the server and every session it has open at once, as a crash would: each of them is
    // stopped, then killed, by its pid.
    void kill();

private:
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    std::string whyNot_;
};

} // namespace kestrun::test
