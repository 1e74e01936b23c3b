#include "platform/autostart.h"

#include "platform/win32/registry.h"
#include "platform/win32/win32_util.h"

namespace kestrun {

namespace fs = std::filesystem;
using win32::RegistryKey;

// On Windows each place is a registry value, named as its key's path and the value's name:
// "HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Run\Kestrun".

namespace {

constexpr std::size_t kMaxPathBytes = 260;
constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

struct Place {
    win32::RegistryPath key;
    std::wstring value;
};

std::optional<Place> placeOf(const fs::path& place) {
    auto key = win32::registryPath(place.parent_path());
    if (!key || !place.has_filename())
        return std::nullopt;
    return Place{*key, place.filename().wstring()};
}

std::optional<std::string> readPlace(const fs::path& place) {
    const auto where = placeOf(place);
    if (!where)
        return std::nullopt;
    return RegistryKey::open(where->key, KEY_QUERY_VALUE).readText(where->value);
}

// Windows' own switch of a Run value: the first byte of its value under StartupApproved is odd
// when the user turned the program off in the task manager or the settings.
bool turnedOff(const fs::path& place) {
    auto where = placeOf(place);
    const std::wstring run = kRunKey;
    if (!where || where->key.subkey.size() < run.size() ||
        _wcsicmp(where->key.subkey.c_str() + where->key.subkey.size() - run.size(), run.c_str()))
        return false;
    where->key.subkey.insert(where->key.subkey.size() - 3, L"Explorer\\StartupApproved\\");
    const auto value = RegistryKey::open(where->key, KEY_QUERY_VALUE).read(where->value);
    return value && value->type == REG_BINARY && !value->data.empty() && (value->data[0] & 1);
}

} // namespace

AutostartEntry::AutostartEntry(fs::path entryFile) : places_{std::move(entryFile)} {}

AutostartEntry::AutostartEntry(std::vector<fs::path> places) : places_(std::move(places)) {}

// The machine's Run value, then the user's own.
std::vector<fs::path> AutostartEntry::defaultFile() {
    const fs::path run(std::wstring(L"\\") + kRunKey + L"\\Kestrun");
    return {fs::path(L"HKEY_LOCAL_MACHINE" + run.wstring()),
            fs::path(L"HKEY_CURRENT_USER" + run.wstring())};
}

fs::path AutostartEntry::file() const {
    if (places_.size() > 1 && readPlace(places_.back()))
        return places_.back();
    for (const fs::path& place : places_)
        if (readPlace(place))
            return place;
    return places_.empty() ? fs::path() : places_.front();
}

bool AutostartEntry::exists() const {
    const fs::path place = file();
    return readPlace(place).has_value() && !turnedOff(place);
}

std::optional<std::string> AutostartEntry::programPath() const {
    const fs::path place = file();
    auto path = readPlace(place);
    if (!path || turnedOff(place))
        return std::nullopt;
    // The value is written quoted when it holds blanks, as the shell would need it.
    if (path->size() >= 2 && path->front() == '"' && path->back() == '"')
        *path = path->substr(1, path->size() - 2);
    if (path->size() >= kMaxPathBytes)
        return std::nullopt;
    return path;
}

std::optional<std::string> AutostartEntry::workingFolder() const {
    const auto program = programPath();
    if (!program)
        return std::nullopt;
    const auto slash = program->find_last_of("\\/");
    if (slash == std::string::npos)
        return std::nullopt;
    return program->substr(0, slash);
}

bool AutostartEntry::write(const std::string& programPath, const std::string&) const {
    const bool quote = programPath.find(' ') != std::string::npos;
    const std::string value = quote ? "\"" + programPath + "\"" : programPath;
    for (const fs::path& place : places_) {
        const auto where = placeOf(place);
        if (where &&
            RegistryKey::open(where->key, KEY_SET_VALUE, true).writeText(where->value, value))
            return true;
    }
    return false;
}

bool AutostartEntry::remove() const {
    bool removed = false;
    for (const fs::path& place : places_) {
        const auto where = placeOf(place);
        if (where && readPlace(place))
            removed = RegistryKey::open(where->key, KEY_SET_VALUE).remove(where->value) || removed;
    }
    return removed && !exists();
}

} // namespace kestrun
