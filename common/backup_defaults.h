#pragma once

#include <cstdint>

namespace kestrun {

// The defaults of the backup settings that Kestrun and kbm share: a value never saved means the
// same to both, so a fresh installation backs up to the folder the settings dialog shows. The
// default of "Path" is a place of the system: platform/path_rules.h's backupDriveFolder().
namespace backup_defaults {
inline constexpr std::int32_t kFolder = 1; // copy to Path; 0 = send by FTP
inline constexpr const char* kHost = "127.0.0.1";
inline constexpr std::int32_t kPort = 21;
inline constexpr const char* kUser = "Anonymous";
inline constexpr const char* kPassword = "";
inline constexpr std::int32_t kPassive = 0;
inline constexpr std::int32_t kAutodelete = 0; // days; 0 = sets never expire
} // namespace backup_defaults

} // namespace kestrun
