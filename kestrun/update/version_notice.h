#pragma once

#include "common/file_version.h"

#include <optional>
#include <string>

namespace kestrun {

struct Settings;
class WebUpdates;

// The two texts of the new-version notice, kept in memory for the run: the newest version a
// check announced and the version the user asked not to hear about again.
struct NoticeVersions {
    std::string newestAnnounced;
    std::string silenced;

    // The user confirmed the notice with "Do not me inform again about this version" ticked.
    void silenceNewest() { silenced = newestAnnounced; }
};

// Where a check shows its notice: the tray balloon and the notice window.
class NoticeSink {
public:
    virtual ~NoticeSink() = default;
    virtual void showBalloon(const std::string& text) = 0;
    virtual void showNoticeWindow(const std::string& text) = 0;
};

// The notice for a web version of the client application.
std::string newVersionNoticeText(const FileVersion& web);

// The notice to show, or nullopt: none when the web version is unknown, when the installed
// one is not older, or when the newer version is the silenced one. Records the announced
// version whenever the web offers a newer one, even a silenced one.
std::optional<std::string> decideNotice(const FileVersion& installed,
                                        const std::optional<FileVersion>& web,
                                        NoticeVersions& versions);

// One check: compares the installed client application (the "Ufile" executable; 0.0.0.0
// when it carries no readable version) with the version of the client application's web
// manifest, and on a newer one shows the notice as an information balloon and in the notice
// window. A manifest that cannot be read ends the check silently. Returns whether the notice
// was shown.
bool checkNewVersion(const Settings& settings, const WebUpdates& web, NoticeVersions& versions,
                     NoticeSink& sink);

} // namespace kestrun
