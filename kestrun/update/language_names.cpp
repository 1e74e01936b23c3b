#include "kestrun/update/language_names.h"

#include "common/text.h"
#include "kestrun/update/wire_protocol.h"

#include <algorithm>
#include <array>

namespace kestrun {

namespace {

// Suffixes of programs, libraries, scripts and launchers on the systems the client application
// runs on (its own system's and Linux's), and of files that start one.
constexpr std::array<std::string_view, 56> kRunnableSuffixes = {
    ".exe",  ".dll", ".so",      ".sys",      ".drv",     ".ocx",   ".cpl",    ".scr",
    ".com",  ".pif", ".msi",     ".msp",      ".bat",     ".cmd",   ".ps1",    ".psm1",
    ".vbs",  ".vbe", ".js",      ".jse",      ".mjs",     ".wsf",   ".wsh",    ".hta",
    ".lnk",  ".url", ".reg",     ".inf",      ".jar",     ".class", ".py",     ".pyc",
    ".pyw",  ".pl",  ".pm",      ".rb",       ".php",     ".lua",   ".tcl",    ".sh",
    ".bash", ".zsh", ".ksh",     ".csh",      ".fish",    ".run",   ".bin",    ".elf",
    ".ko",   ".out", ".desktop", ".appimage", ".service", ".timer", ".socket", ".dylib",
};

} // namespace

bool isMirrorableName(std::string_view name) {
    return wire::isPlainFileName(name) && name.find("..") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::string runnableNameReason(std::string_view name, const std::vector<std::string>& programs) {
    // Trailing dots and blanks are dropped by the client application's system: "a.exe." runs
    // as "a.exe" there.
    std::string lower = toLowerAscii(name);
    while (!lower.empty() && (lower.back() == '.' || lower.back() == ' '))
        lower.pop_back();
    if (lower.starts_with('.'))
        return "a hidden name";
    if (std::any_of(programs.begin(), programs.end(),
                    [&](const std::string& program) { return toLowerAscii(program) == lower; }))
        return "the name of a program";
    const bool runnable =
        lower.find(".so.") != std::string::npos ||
        std::any_of(kRunnableSuffixes.begin(), kRunnableSuffixes.end(),
                    [&](std::string_view suffix) { return lower.ends_with(suffix); });
    return runnable ? "the suffix of a program" : "";
}

} // namespace kestrun
