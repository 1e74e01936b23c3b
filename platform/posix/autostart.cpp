#include "platform/autostart.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kestrun {

namespace fs = std::filesystem;

namespace {
constexpr std::size_t kMaxPathBytes = 260;
}

AutostartEntry::AutostartEntry(fs::path entryFile) : file_(std::move(entryFile)) {}

fs::path AutostartEntry::defaultFile() {
    std::string dirs;
    if (const char* env = std::getenv("XDG_CONFIG_DIRS"); env && *env)
        dirs = env;
    std::string first = dirs.substr(0, dirs.find(':'));
    if (first.empty())
        first = "/etc/xdg";
    return fs::path(first) / "autostart" / "kestrun.desktop";
}

bool AutostartEntry::exists() const {
    std::error_code ec;
    return fs::is_regular_file(file_, ec);
}

std::optional<std::string> AutostartEntry::programPath() const {
    std::ifstream in(file_, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("Exec=", 0) != 0)
            continue;
        std::string path = line.substr(5);
        // The Exec value is written quoted when it holds blanks.
        if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
            path = path.substr(1, path.size() - 2);
        if (path.size() >= kMaxPathBytes)
            return std::nullopt;
        return path;
    }
    return std::nullopt;
}

bool AutostartEntry::write(const std::string& programPath) const {
    std::error_code ec;
    fs::create_directories(file_.parent_path(), ec);
    std::ofstream out(file_, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    const bool quote = programPath.find(' ') != std::string::npos;
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Kestrun\n"
        << "Exec=" << (quote ? "\"" : "") << programPath << (quote ? "\"" : "") << "\n";
    return static_cast<bool>(out.flush());
}

bool AutostartEntry::remove() const {
    std::error_code ec;
    return fs::remove(file_, ec) && !ec;
}

} // namespace kestrun
