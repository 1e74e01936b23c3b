#pragma once

#include "common/backup_defaults.h"
#include "platform/path_rules.h"
#include "platform/settings_store.h"

#include <cstdint>
#include <string>

namespace kestrun {

// The eight stored settings a backup run uses. A value never saved (or a store that is missing)
// keeps the default Kestrun's settings dialog shows for it, so an installation whose settings
// were never confirmed backs up where the dialog says.
struct KbmSettings {
    std::int32_t destinationIsFolder = backup_defaults::kFolder; // "Folder"
    std::string destination = backupDriveFolder();               // "Path", normalised
    std::string host = backup_defaults::kHost;                   // "Host"
    std::int32_t port = backup_defaults::kPort;                  // "Port"
    std::string user = backup_defaults::kUser;                   // "User"
    std::string password = backup_defaults::kPassword;           // "Password"
    std::int32_t passive = backup_defaults::kPassive;            // "Passive"
    std::int32_t retentionDays = backup_defaults::kAutodelete;   // "Autodelete"
};

KbmSettings readKbmSettings(const SettingsStore& store);

// Drops one trailing "/" and then one trailing "\" from a destination folder.
std::string normaliseDestination(std::string folder);

} // namespace kestrun
