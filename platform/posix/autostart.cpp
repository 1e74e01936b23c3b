#include "platform/autostart.h"

#include "platform/data_folder.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kestrun {

namespace fs = std::filesystem;

namespace {
constexpr std::size_t kMaxPathBytes = 260;
}

AutostartEntry::AutostartEntry(fs::path entryFile) : places_{std::move(entryFile)} {}

AutostartEntry::AutostartEntry(std::vector<fs::path> places) : places_(std::move(places)) {}

std::vector<fs::path> AutostartEntry::defaultFile() {
    std::vector<fs::path> places;
    std::string dirs;
    if (const char* env = std::getenv("XDG_CONFIG_DIRS"))
        dirs = env;
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const fs::path dir = dirs.substr(start, end - start);
        // Empty and relative entries are not configuration folders.
        if (dir.is_absolute())
            places.push_back(dir / "autostart" / "kestrun.desktop");
        start = end + 1;
    }
    if (places.empty())
        places.push_back(fs::path("/etc/xdg") / "autostart" / "kestrun.desktop");
    // The user's own autostart folder comes last: where the machine's folder may not be
    // written (a user who is not root), the entry is written there instead.
    fs::path configHome;
    if (const char* env = std::getenv("XDG_CONFIG_HOME"); env && fs::path(env).is_absolute())
        configHome = env;
    else if (const fs::path home = userHomeFolder(); !home.empty())
        configHome = home / ".config";
    if (!configHome.empty())
        places.push_back(configHome / "autostart" / "kestrun.desktop");
    return places;
}

fs::path AutostartEntry::file() const {
    std::error_code ec;
    if (places_.size() > 1 && fs::is_regular_file(places_.back(), ec))
        return places_.back();
    for (const fs::path& place : places_)
        if (fs::is_regular_file(place, ec))
            return place;
    return places_.empty() ? fs::path() : places_.front();
}

namespace {

// What an entry file says: the program it starts, and whether the desktop skips it.
struct EntryText {
    bool readable = false;
    bool skipped = false;
    std::optional<std::string> exec;
    std::optional<std::string> folder; // the "Path" line
};

EntryText readEntry(const fs::path& file) {
    EntryText entry;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return entry;
    entry.readable = true;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            entry.skipped = true;
        if (line.rfind("Path=", 0) == 0 && !entry.folder && line.size() > 5)
            entry.folder = line.substr(5);
        if (line.rfind("Exec=", 0) != 0 || entry.exec)
            continue;
        std::string path = line.substr(5);
        // The Exec value is written quoted when it holds blanks.
        if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
            path = path.substr(1, path.size() - 2);
        entry.exec = std::move(path);
    }
    return entry;
}

} // namespace

bool AutostartEntry::exists() const {
    const EntryText entry = readEntry(file());
    return entry.readable && !entry.skipped;
}

std::optional<std::string> AutostartEntry::programPath() const {
    const EntryText entry = readEntry(file());
    if (entry.skipped || !entry.exec || entry.exec->size() >= kMaxPathBytes)
        return std::nullopt;
    return entry.exec;
}

std::optional<std::string> AutostartEntry::workingFolder() const {
    const auto program = programPath();
    if (!program)
        return std::nullopt;
    const EntryText entry = readEntry(file());
    if (entry.folder && fs::path(*entry.folder).is_absolute() &&
        entry.folder->size() < kMaxPathBytes)
        return entry.folder;
    const auto slash = program->rfind('/');
    if (slash == std::string::npos)
        return std::nullopt;
    return slash == 0 ? std::string("/") : program->substr(0, slash);
}

namespace {

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool writeEntry(const fs::path& file, const std::string& programPath,
                const std::string& workingFolder) {
    // A line break would add lines of its own to the entry (another Exec= for every user).
    if (hasControlCharacter(programPath) || hasControlCharacter(workingFolder))
        return false;
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    const bool quote = programPath.find(' ') != std::string::npos;
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Kestrun\n"
        << "Exec=" << (quote ? "\"" : "") << programPath << (quote ? "\"" : "") << "\n";
    if (!workingFolder.empty() && fs::path(programPath).parent_path() != fs::path(workingFolder))
        out << "Path=" << workingFolder << "\n";
    return static_cast<bool>(out.flush());
}

} // namespace

bool AutostartEntry::write(const std::string& programPath, const std::string& workingFolder) const {
    for (const fs::path& place : places_)
        if (writeEntry(place, programPath, workingFolder))
            return true;
    return false;
}

bool AutostartEntry::remove() const {
    bool removed = false;
    for (const fs::path& place : places_) {
        std::error_code ec;
        removed = fs::remove(place, ec) || removed;
    }
    return removed && !exists();
}

} // namespace kestrun
