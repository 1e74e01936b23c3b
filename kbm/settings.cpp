#include "kbm/settings.h"

namespace kestrun {

namespace {

void readNumber(const SettingsStore& store, const char* name, std::int32_t& field) {
    if (const auto value = store.readNumber(name))
        field = static_cast<std::int32_t>(*value);
}

void readText(const SettingsStore& store, const char* name, std::string& field) {
    if (auto value = store.readText(name))
        field = std::move(*value);
}

} // namespace

KbmSettings readKbmSettings(const SettingsStore& store) {
    KbmSettings s;
    readNumber(store, "Folder", s.destinationIsFolder);
    readNumber(store, "Port", s.port);
    readNumber(store, "Autodelete", s.retentionDays);
    readNumber(store, "Passive", s.passive);
    readText(store, "Path", s.destination);
    readText(store, "Host", s.host);
    readText(store, "User", s.user);
    readText(store, "Password", s.password);
    s.destination = normaliseDestination(std::move(s.destination));
    return s;
}

std::string normaliseDestination(std::string folder) {
    if (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    if (!folder.empty() && folder.back() == '\\')
        folder.pop_back();
    return folder;
}

} // namespace kestrun
