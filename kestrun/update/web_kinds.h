#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// The two web sites of updates: the client application's (the setting Uhttp) and our own.
enum class WebSite { Zelmo, Kestrun };

struct ManifestKind {
    WebSite site;
    std::string_view key; // the text that comes right before the version
};

struct DownloadKind {
    WebSite site;
    std::string remoteName; // the file's name on the site
    std::string localName;  // saved under this name in the working folder
};

// Kinds 0..3: the client application, Kestrun, the backup program, the updater.
std::optional<ManifestKind> manifestKind(int kind);
// Kinds 0..4: the client application, Kestrun, the backup program, the updater, the client
// application's server. Our programs are fetched under their file names ("kbm", "kbm.exe") and
// saved as their downloads ("kbm~", "kbm.exe~"); the client application's keep their names.
std::optional<DownloadKind> downloadKind(int kind);

constexpr std::string_view kManifestName = "ver.txt";
constexpr std::string_view kDefaultKestrunWebBase = "https://kestrun.tavisoft.example/KSN";
constexpr const char* kKestrunWebBaseVariable = "KESTRUN_WEB_BASE";

// Our own site: the environment variable KESTRUN_WEB_BASE when it is set and not empty, else
// the fixed one.
std::string kestrunWebBase();

// The address of a file on a site: the base, "//" and the name, exactly so.
inline std::string fileAddress(std::string_view base, std::string_view name) {
    std::string address(base);
    address += "//";
    address += name;
    return address;
}

} // namespace kestrun
