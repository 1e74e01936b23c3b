#include "kestrun/ui/window_shots.h"

#include "kestrun/core/settings.h"
#include "kestrun/ui/about_dlg.h"
#include "kestrun/ui/promt_dlg.h"
#include "kestrun/update/version_notice.h"
#include "platform/settings_store.h"

#include <QPixmap>

namespace kestrun {

namespace {

bool save(QWidget& window, const std::filesystem::path& file) {
    return window.grab().save(QString::fromStdString(file.string()), "PNG");
}

} // namespace

bool saveNoticeWindowShots(const std::filesystem::path& folder, const QIcon& programIcon) {
    CPromtDlg notice;
    notice.setNoticeText(QString::fromStdString(newVersionNoticeText({{5, 2, 0, 119}})));
    const bool noticeSaved = save(notice, folder / "promt_dlg.png");

    // The about box only writes its store on OK, which a picture never presses.
    Settings settings;
    IniSettingsStore unused(folder / "about_dlg.unused.conf");
    CAboutDlg about(settings, unused, programIcon);
    return save(about, folder / "about_dlg.png") && noticeSaved;
}

} // namespace kestrun
