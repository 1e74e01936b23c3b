#pragma once

#include "release/handover_files.h"
#include "release/program_names.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace kestrun::test {

// The place of one of our programs on our site ("KSN/kbm", "KSN/kbm.exe"); its installed file
// and its download are programFileName and downloadFileName.
inline std::string remoteOf(const std::string& program) {
    return "KSN/" + programFileName(program);
}

// Kestrun's own files in the working folder as this system names them ("kestrun",
// "kestrun.exe~", "kestrun.exe.old").
inline const std::string kInstalled = programFileName(kKestrunProgram);
inline const std::string kDownload = downloadFileName(kKestrunProgram);
inline const std::string kKept = keptOldKestrunName();

// A line our programs log with Kestrun's bare file names ("kestrun~ carries version ...",
// "kestrun.old kept") as this system writes them ("kestrun.exe~", "kestrun.exe.old"): each such
// name is a word of its own, not a path's; the name a signature carries ("signed it as
// kestrun") stays bare.
inline std::string named(std::string line) {
    const std::string suffix =
        programFileName(kKestrunProgram).substr(std::string("kestrun").size());
    for (std::size_t at = line.find("kestrun"); at != std::string::npos && !suffix.empty();
         at = line.find("kestrun", at + 1))
        if ((at == 0 || line[at - 1] == ' ') && (at < 3 || line.compare(at - 3, 3, "as ") != 0))
            line.insert(at + 7, suffix);
    return line;
}
inline std::vector<std::string> named(std::vector<std::string> lines) {
    for (std::string& line : lines)
        line = named(line);
    return lines;
}

// The mode bits of a file, where the system has them (see systemHasModeBits).
inline unsigned modeOf(const std::filesystem::path& file) {
    std::error_code ec;
    return static_cast<unsigned>(std::filesystem::status(file, ec).permissions()) & 07777u;
}

} // namespace kestrun::test
