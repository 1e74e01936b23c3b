#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// The FTP servers that have offered TLS, each as its host, port and user, remembered in a file
// of kbm's data folder (<data>/KBM/ftp-tls, private): one line per server, its fields
// percent-encoded and separated by blanks. A server remembered there must keep offering TLS;
// one that stops gets no password and no file.
class FtpTlsMemory {
public:
    // An empty path remembers nothing beyond the object's life.
    explicit FtpTlsMemory(std::filesystem::path file);
    const std::filesystem::path& file() const { return file_; }

    bool offered(const std::string& host, unsigned port, const std::string& user) const;
    // Adds the server to the file, written to a temporary name and renamed over it. False when
    // the file could not be written.
    bool remember(const std::string& host, unsigned port, const std::string& user);

    // The file's place below a data folder.
    static std::filesystem::path fileIn(const std::filesystem::path& dataFolder);

private:
    // What the file holds; nullopt when it is there but can not be read whole (damaged, too
    // large, not a regular file): then every server counts as one that offered TLS.
    std::optional<std::string> content() const;

    std::filesystem::path file_;
    std::string added_; // lines remembered by this object, whether the file took them or not
};

} // namespace kestrun
