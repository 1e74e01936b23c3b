#pragma once

#include <QObject>

#include <functional>
#include <map>

class QAction;
class QMenu;
class QWidget;

namespace kestrun {

class PauseCounter;

// Command ids of the tray menu.
enum TrayMenuId : int {
    kTrayOpen = 32776,
    kTrayPrograms = 32777,
    kTrayBackup = 32778,
    kTraySettings = 32779,
    kTrayStop = 32781,
    kTrayBackUpNow = 32782,
};

// The tray icon's menu (menu 147). It is laid out afresh every time it opens, with "Resume" in
// place of "Stop" while supervision is paused; a chosen item runs its command.
class TrayMenu final : public QObject {
    Q_OBJECT
public:
    using Run = std::function<void(int id)>;

    TrayMenu(QWidget& owner, const PauseCounter& pause, Run run);
    ~TrayMenu() override;

    QMenu* menu() const { return menu_; }
    QAction* item(int id) const;

    // Lays the menu out from its items; runs each time the menu is about to show.
    void rebuild();
    // Pops the menu up at the mouse position.
    void open();

private:
    const PauseCounter& pause_;
    Run run_;
    QMenu* menu_;                   // owned by the owner window
    std::map<int, QAction*> items_; // owned by this object, so rebuilding keeps them
};

} // namespace kestrun
