#include "kestrun/update/version_notice.h"

#include "kestrun/core/settings.h"
#include "kestrun/update/web_updates.h"

namespace kestrun {

namespace {
constexpr int kClientApplicationManifest = 0;
}

std::string newVersionNoticeText(const FileVersion& web) {
    return "New version of ZML was realised: " + web.text() +
           ".\nPlease inform Your software administrator as soon as possible!\n\n"
           "Thanks! KSN developing team.";
}

std::optional<std::string> decideNotice(const FileVersion& installed,
                                        const std::optional<FileVersion>& web,
                                        NoticeVersions& versions) {
    if (!web || !(installed < *web))
        return std::nullopt;
    versions.newestAnnounced = web->text();
    if (versions.newestAnnounced == versions.silenced)
        return std::nullopt;
    return newVersionNoticeText(*web);
}

bool checkNewVersion(const Settings& settings, const WebUpdates& web, NoticeVersions& versions,
                     NoticeSink& sink) {
    const FileVersion installed =
        readFileVersion(executablePath(settings.ufile)).value_or(FileVersion{});
    const auto notice =
        decideNotice(installed, web.readWebVersion(kClientApplicationManifest), versions);
    if (!notice)
        return false;
    sink.showBalloon(*notice);
    sink.showNoticeWindow(*notice);
    return true;
}

} // namespace kestrun
