#include "kestrun/core/settings.h"

#include "platform/path_rules.h"
#include "platform/settings_store.h"

#include <initializer_list>
#include <string_view>

namespace kestrun {

namespace {

template <typename T>
void readNumber(const SettingsStore& store, const char* name, std::atomic<T>& field) {
    if (const auto bits = store.readNumber(name))
        field = static_cast<T>(*bits);
}

void readText(const SettingsStore& store, const char* name, std::string& field) {
    if (auto text = store.readText(name))
        field = std::move(*text);
}

std::string belowApplications(std::initializer_list<std::string_view> parts) {
    std::string path = applicationsFolder();
    for (const std::string_view part : parts)
        path = joinPath(path, part);
    return path;
}

} // namespace

std::string defaultBackupPath() {
    return backupDriveFolder();
}

std::string defaultServerExecutable() {
    return belowApplications({"Plenart", "ZLM_Server", "Zelmo_serv.exe"});
}

std::string defaultClientExecutable() {
    return belowApplications({"Plenart", "ZLM_Client", "Zelmo.exe"}) + "?+";
}

Settings& Settings::operator=(const Settings& o) {
    delay = o.delay.load();
    period = o.period.load();
    folder = o.folder.load();
    path = o.path;
    host = o.host;
    port = o.port.load();
    user = o.user;
    password = o.password;
    passive = o.passive.load();
    umode = o.umode.load();
    uhost = o.uhost;
    uport = o.uport.load();
    uhttp = o.uhttp;
    ufile = o.ufile;
    upull = o.upull.load();
    upost = o.upost.load();
    update = o.update.load();
    promt = o.promt.load();
    ufile2 = o.ufile2;
    autodelete = o.autodelete.load();
    return *this;
}

void Settings::load(const SettingsStore& store) {
    if (!store.exists())
        return;
    readNumber(store, "Delay", delay);
    readNumber(store, "Folder", folder);
    readNumber(store, "Period", period);
    readNumber(store, "Port", port);
    readNumber(store, "Passive", passive);
    readText(store, "Path", path);
    readText(store, "Host", host);
    readText(store, "User", user);
    readText(store, "Password", password);
    readNumber(store, "Umode", umode);
    readText(store, "Uhost", uhost);
    readNumber(store, "Uport", uport);
    readNumber(store, "Upull", upull);
    readNumber(store, "Upost", upost);
    readNumber(store, "Promt", promt);
    readNumber(store, "Autodelete", autodelete);
    readText(store, "Uhttp", uhttp);
    readText(store, "Ufile", ufile);
    readText(store, "Ufile2", ufile2);
    readNumber(store, "Update", update);
    if (umode == 2) {
        upost = 60;
        upull = 10;
    }
}

bool Settings::save(SettingsStore& store) const {
    store.writeText("Host", host);
    store.writeText("User", user);
    store.writeText("Password", password);
    store.writeText("Path", path);
    store.writeText("Uhost", uhost);
    store.writeText("Uhttp", uhttp);
    store.writeText("Ufile", ufile);
    store.writeText("Ufile2", ufile2);
    store.writeNumber("Folder", folder);
    store.writeNumber("Delay", delay);
    store.writeNumber("Period", period);
    store.writeNumber("Port", port);
    store.writeNumber("Passive", passive);
    store.writeNumber("Umode", umode);
    store.writeNumber("Uport", uport);
    store.writeNumber("Upull", upull);
    store.writeNumber("Upost", upost);
    store.writeNumber("Promt", promt);
    store.writeNumber("Autodelete", autodelete);
    store.writeNumber("Update", update);
    return store.flush();
}

bool Settings::saveUpdate(SettingsStore& store, std::int32_t value) {
    update = value;
    store.writeNumber("Update", value);
    return store.flush();
}

} // namespace kestrun
