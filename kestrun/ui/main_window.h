#pragma once

#include "platform/dialog_template.h"

namespace kestrun {

// The system-menu items of the main window, by command id.
enum SystemMenuId : int {
    kMenuAbout = 16,
    kMenuPrograms = 17,
    kMenuAutostart = 18,
    kMenuStop = 19,
    kMenuBackup = 20,
    kMenuSettings = 21,
    kMenuServerUpdate = 22,
    kMenuBackUpNow = 23,
};

// The ids of the main window's status lines run from here.
constexpr int kFirstStatusLine = 1002;
// The line with the last backup's outcome, below the status lines.
constexpr int kLastBackupLine = 1005;

// Window 102: three read-only, centred status lines in a frame, the last backup's outcome
// and one line below them.
const DialogTemplate& mainWindowTemplate();

struct MenuItemSpec {
    int id;
    const char* text;
    bool separatorBefore;
};

// The program's items of the window menu, in their order.
const std::vector<MenuItemSpec>& mainMenuItems();

} // namespace kestrun
