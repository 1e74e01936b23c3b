#pragma once

#include "release/program_names.h"

#include <filesystem>
#include <string>
#include <system_error>

namespace kestrun::test {

// One of our programs by its bare name ("kbm") as this system names it: its installed file
// ("kbm", "kbm.exe"), its download in the working folder ("kbm~", "kbm.exe~") and its place on
// our site ("KSN/kbm", "KSN/kbm.exe").
inline std::string fileOf(const std::string& program) {
    return programFileName(program);
}
inline std::string downloadOf(const std::string& program) {
    return downloadFileName(program);
}
inline std::string remoteOf(const std::string& program) {
    return "KSN/" + programFileName(program);
}

// The mode bits of a file, where the system has them (see systemHasModeBits).
inline unsigned modeOf(const std::filesystem::path& file) {
    std::error_code ec;
    return static_cast<unsigned>(std::filesystem::status(file, ec).permissions()) & 07777u;
}

} // namespace kestrun::test
