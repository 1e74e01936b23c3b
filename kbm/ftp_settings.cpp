#include "kbm/ftp_settings.h"

#include <cstdio>

namespace kestrun {

namespace {

// Percent-encodes everything but the unreserved characters of a URL.
std::string escape(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            u == '-' || u == '.' || u == '_' || u == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        }
    }
    return out;
}

} // namespace

std::string ftpServerText(const FtpSettings& settings) {
    std::string host = settings.host;
    if (host.find(':') != std::string::npos && !host.starts_with('['))
        host = "[" + host + "]"; // an IPv6 address
    return host + ":" + std::to_string(ftpPort(settings));
}

std::string ftpAccountText(const FtpSettings& settings) {
    return "ftp://" + escape(settings.user) + "@" + ftpServerText(settings);
}

unsigned ftpPort(const FtpSettings& settings) {
    const unsigned port = static_cast<std::uint32_t>(settings.port) & 0xFFFFu;
    return port == 0 ? 21 : port;
}

std::string temporaryUploadName(std::string_view name) {
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char text[32];
    std::snprintf(text, sizeof text, ".kbm-%016llx.part", static_cast<unsigned long long>(hash));
    return text;
}

std::string ftpUrl(const FtpSettings& settings, const std::string& relative) {
    std::string path = "backup";
    std::size_t pos = 0;
    std::string last;
    while (pos <= relative.size()) {
        auto end = relative.find('/', pos);
        if (end == std::string::npos)
            end = relative.size();
        const std::string component = relative.substr(pos, end - pos);
        if (!component.empty()) {
            path += '/';
            path += escape(component);
            last = component;
        }
        pos = end + 1;
    }
    if (last.empty() || relative.ends_with('/'))
        return {};
    return "ftp://" + ftpServerText(settings) + "/" + path;
}

} // namespace kestrun
