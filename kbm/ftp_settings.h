#pragma once

#include "transfer/ca_trust.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrun {

// The FTP server kbm sends to, and the names and addresses made of it.
struct FtpSettings {
    std::string host;      // empty: nothing is sent
    std::int32_t port = 0; // low 16 bits; 0 = 21
    std::string user;
    std::string password;
    bool passive = false;
    CaTrust trust; // the server's certificate is checked against it when it offers TLS
    // Where the servers that offered TLS are remembered; empty: for the run only.
    std::filesystem::path tlsMemory;
};

// The remote address of a relative path: ftp://host:port/backup/<components>, each component
// URL-encoded; nullopt-like empty text when the relative path has no file name.
std::string ftpUrl(const FtpSettings& settings, const std::string& relative);

// The server as "host:port" (an IPv6 address in brackets, port 0 as 21).
std::string ftpServerText(const FtpSettings& settings);
unsigned ftpPort(const FtpSettings& settings);
// The account as "ftp://user@host:port" (the user URL-encoded): what the markers of FTP runs
// stand for.
std::string ftpAccountText(const FtpSettings& settings);

// The temporary name an upload is stored under in its folder: short and our own, the same for
// every upload of one file, so a leftover of a torn upload is replaced by the next one.
std::string temporaryUploadName(std::string_view name);

} // namespace kestrun
