#pragma once

#include "platform/settings_store.h"

#include <cstdint>
#include <string>

namespace kestrun {

// The eight stored settings a backup run uses. A value missing from the store is 0 or empty.
struct KbmSettings {
    std::int32_t destinationIsFolder = 0; // "Folder"
    std::string destination;              // "Path", normalised
    std::string host;                     // "Host"
    std::int32_t port = 0;                // "Port"
    std::string user;                     // "User"
    std::string password;                 // "Password"
    std::int32_t passive = 0;             // "Passive"
    std::int32_t retentionDays = 0;       // "Autodelete"
};

KbmSettings readKbmSettings(const SettingsStore& store);

// Drops one trailing "/" and then one trailing "\" from a destination folder.
std::string normaliseDestination(std::string folder);

} // namespace kestrun
