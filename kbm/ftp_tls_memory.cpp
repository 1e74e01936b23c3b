#include "kbm/ftp_tls_memory.h"

#include "platform/data_folder.h"
#include "platform/regular_file.h"
#include "platform/settings_backend.h"

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileLimit = 1 << 20;

// Blanks, line breaks and everything outside printable ASCII as %XX.
std::string encoded(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u > 0x20 && u < 0x7f && c != '%') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        }
    }
    return out;
}

std::string lineOf(const std::string& host, unsigned port, const std::string& user) {
    return encoded(host) + " " + std::to_string(port) + " " + encoded(user) + "\n";
}

} // namespace

FtpTlsMemory::FtpTlsMemory(fs::path file) : file_(std::move(file)) {}

fs::path FtpTlsMemory::fileIn(const fs::path& dataFolder) {
    return dataFolder / "KBM" / "ftp-tls";
}

std::optional<std::string> FtpTlsMemory::content() const {
    if (file_.empty())
        return std::string();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file_, ec)))
        return std::string();
    auto text = readRegularFile(file_, kFileLimit);
    if (text) // lines written by hand may end in CR LF
        std::erase(*text, '\r');
    return text;
}

bool FtpTlsMemory::offered(const std::string& host, unsigned port, const std::string& user) const {
    const std::string line = "\n" + lineOf(host, port, user);
    if (("\n" + added_).find(line) != std::string::npos)
        return true;
    const auto text = content();
    if (!text)
        return true; // a memory that can not be read must not let a password go in clear
    std::string all = "\n" + *text;
    if (!all.ends_with('\n'))
        all += '\n';
    return all.find(line) != std::string::npos;
}

bool FtpTlsMemory::remember(const std::string& host, unsigned port, const std::string& user) {
    if (offered(host, port, user))
        return true;
    const std::string line = lineOf(host, port, user);
    added_ += line;
    if (file_.empty() || !createPrivateFolders(file_.parent_path()))
        return false;
    const auto read = content();
    if (!read)
        return false; // never written over: what it holds is not known
    std::string text = *read;
    if (!text.empty() && !text.ends_with('\n'))
        text += '\n';
    text += line;
    return writePrivateFile(file_, text);
}

} // namespace kestrun
