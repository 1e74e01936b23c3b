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
    // A control byte (NUL included) could forge a line of the log the name would go to.
    const auto control = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    };
    // Longer names fit no folder on either system (255 bytes, 255 UTF-16 units): nothing is
    // asked for them.
    constexpr std::size_t kLongestName = 255;
    return wire::isPlainFileName(name) && name.size() <= kLongestName &&
           name.find("..") == std::string_view::npos &&
           std::none_of(name.begin(), name.end(), control);
}

std::string runnableNameReason(std::string_view name, const std::vector<std::string>& programs) {
    // Trailing dots and blanks are dropped by the client application's system: "a.exe." runs
    // as "a.exe" there.
    std::string lower = toLowerAscii(name);
    while (!lower.empty() && (lower.back() == '.' || lower.back() == ' '))
        lower.pop_back();
    if (lower.starts_with('.'))
        return "a hidden name";
    // A program's name followed by a dot names its companions: the versioned copy the
    // replacement keeps, and the files its loader reads beside it (".manifest", ".local",
    // ".config").
    const auto programOrCompanion = [&](const std::string& program) {
        const std::string own = toLowerAscii(program);
        return lower == own || lower.starts_with(own + ".");
    };
    if (std::any_of(programs.begin(), programs.end(), programOrCompanion))
        return "the name of a program";
    const bool runnable =
        lower.find(".so.") != std::string::npos ||
        std::any_of(kRunnableSuffixes.begin(), kRunnableSuffixes.end(),
                    [&](std::string_view suffix) { return lower.ends_with(suffix); });
    return runnable ? "the suffix of a program" : "";
}

} // namespace kestrun
