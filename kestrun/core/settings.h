#pragma once

#include "common/backup_defaults.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace kestrun {

class SettingsStore;

// The defaults that name places of this system: the backup disk's folder ("/mnt/backup",
// "Z:"); the client application's server and client below the applications folder
// ("/opt/Plenart/ZLM_Server/Zelmo_serv.exe", "C:\Program Files\Plenart\ZLM_Server\...";
// the client's ends in "?+").
std::string defaultBackupPath();
std::string defaultServerExecutable();
std::string defaultClientExecutable();

// The 20 settings of Kestrun. The heartbeat and the update worker read the numbers from
// other threads while the window thread may change them, so every number is one atomic
// 32-bit word; texts change only on the window thread.
struct Settings {
    std::atomic<std::int32_t> delay{5};                         // minutes of one supervision pause
    std::atomic<std::int32_t> period{12};                       // hours between backups; 0 = none
    std::atomic<std::int32_t> folder{backup_defaults::kFolder}; // 1 = copy to Path, 0 = FTP
    std::string path = defaultBackupPath();                     // backup destination folder
    std::string host = backup_defaults::kHost;                  // FTP server of the backup
    std::atomic<std::int32_t> port{backup_defaults::kPort};     // FTP port
    std::string user = backup_defaults::kUser;                  // FTP user
    std::string password = backup_defaults::kPassword;          // FTP password, plain text
    std::atomic<std::int32_t> passive{backup_defaults::kPassive}; // 1 = passive FTP
    std::atomic<std::int32_t> umode{0};     // 0 off, 1 server, 2 client, 3 server and client
    std::string uhost = "127.0.0.1";        // update server a client polls
    std::atomic<std::int32_t> uport{10201}; // update server TCP port
    std::string uhttp = "http://zelmo.plenart.example/Zelmov5"; // web base of Zelmo updates
    std::string ufile = defaultServerExecutable();              // executable 1
    std::atomic<std::uint32_t> upull{60};                       // seconds between two LAN polls
    std::atomic<std::uint32_t> upost{60};           // seconds of the countdown before Zelmo closes
    std::atomic<std::int32_t> update{1};            // "Update program automatically"
    std::atomic<std::uint32_t> promt{1};            // hours between new-version checks; 0 = never
    std::string ufile2 = defaultClientExecutable(); // executable 2
    std::atomic<std::int32_t> autodelete{backup_defaults::kAutodelete}; // days; 0 = never

    Settings() = default;
    Settings(const Settings& other) { *this = other; }
    Settings& operator=(const Settings& other);

    // Every field back to its default.
    void setDefaults() { *this = Settings{}; }

    // Reads the stored values over the current ones: a missing value, a number that does not
    // parse and a text of 260 bytes or more keep the field. In update-client mode the client
    // starts with a 15-second poll: Upost 60 and Upull 10, in memory only.
    void load(const SettingsStore& store);
    // Writes all 20 values; false when the store could not be written.
    bool save(SettingsStore& store) const;
    // Sets and writes the "Update" value alone.
    bool saveUpdate(SettingsStore& store, std::int32_t value);
};

} // namespace kestrun
