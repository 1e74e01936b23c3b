#include "kestrun/ui/main_window.h"

namespace kestrun {

const DialogTemplate& mainWindowTemplate() {
    static const DialogTemplate tmpl{
        "Kestrun",
        273,
        107,
        {
            {0, ControlKind::GroupBox, "", 7, 7, 259, 67},
            {1002, ControlKind::ReadOnlyEdit, "", 15, 17, 244, 14},
            {1003, ControlKind::ReadOnlyEdit, "", 15, 36, 244, 14},
            {1004, ControlKind::ReadOnlyEdit, "", 15, 56, 244, 14},
            {kLastBackupLine, ControlKind::StaticCentered, "No backup has run yet", 7, 80, 259, 8},
            {0, ControlKind::StaticCentered,
             "Kestrun works in the background; find it in the tray.", 7, 92, 259, 8},
        }};
    return tmpl;
}

const std::vector<MenuItemSpec>& mainMenuItems() {
    static const std::vector<MenuItemSpec> items = {
        {kMenuPrograms, "&Programs", true},
        {kMenuBackup, "&Backup", false},
        {kMenuBackUpNow, "Back up &now", false},
        {kMenuAutostart, "Auto&start", false},
        {kMenuStop, "S&top", true},
        {kMenuServerUpdate, "Start Zelmo update routine", false},
        {kMenuSettings, "S&ettings ...", true},
        {kMenuAbout, "&About Kestrun...", true},
    };
    return items;
}

} // namespace kestrun
