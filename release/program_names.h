#pragma once

#include <string>
#include <string_view>

namespace kestrun {

// Our three programs by their bare names, the names their release signatures carry.
inline constexpr std::string_view kKestrunProgram = "kestrun";
inline constexpr std::string_view kBackupProgram = "kbm";
inline constexpr std::string_view kUpdaterProgram = "kvu";

// The file of one of our programs, in the working folder and on our web site: its bare name
// with this system's executable suffix ("kbm", "kbm.exe").
std::string programFileName(std::string_view program);
// Where a download of it waits in the working folder until it is put in place: the file's name
// and "~" ("kbm~", "kbm.exe~").
std::string downloadFileName(std::string_view program);

} // namespace kestrun
