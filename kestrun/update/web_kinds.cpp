#include "kestrun/update/web_kinds.h"

#include "release/program_names.h"

#include <array>
#include <cstdlib>

namespace kestrun {

namespace {

constexpr std::array kManifests{
    ManifestKind{WebSite::Zelmo, "Zelmo:"},
    ManifestKind{WebSite::Kestrun, "KSN:"},
    ManifestKind{WebSite::Kestrun, "KBM:"},
    ManifestKind{WebSite::Kestrun, "KVU:"},
};

DownloadKind ownProgram(std::string_view program) {
    return {WebSite::Kestrun, programFileName(program), downloadFileName(program)};
}

const std::array<DownloadKind, 5>& downloads() {
    static const std::array<DownloadKind, 5> kinds{
        DownloadKind{WebSite::Zelmo, "Zelmo.exe", "Zelmo.exe"},
        ownProgram(kKestrunProgram),
        ownProgram(kBackupProgram),
        ownProgram(kUpdaterProgram),
        DownloadKind{WebSite::Zelmo, "Zelmo_serv.exe", "Zelmo_serv.exe"},
    };
    return kinds;
}

template <typename Table>
auto lookUp(const Table& table, int kind) -> std::optional<typename Table::value_type> {
    if (kind < 0 || static_cast<std::size_t>(kind) >= table.size())
        return std::nullopt;
    return table[static_cast<std::size_t>(kind)];
}

} // namespace

std::optional<ManifestKind> manifestKind(int kind) {
    return lookUp(kManifests, kind);
}

std::optional<DownloadKind> downloadKind(int kind) {
    return lookUp(downloads(), kind);
}

std::string kestrunWebBase() {
    if (const char* base = std::getenv(kKestrunWebBaseVariable); base && *base)
        return base;
    return std::string(kDefaultKestrunWebBase);
}

} // namespace kestrun
