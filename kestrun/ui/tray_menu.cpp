#include "kestrun/ui/tray_menu.h"

#include "kestrun/core/pause_counter.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QWidget>

namespace kestrun {

namespace {

struct TrayItem {
    int id; // 0: a separator
    const char* text;
};

constexpr TrayItem kLayout[] = {
    {kTrayOpen, "Open Kestrun"},
    {0, nullptr},
    {kTrayPrograms, "Programs"},
    {kTrayBackup, "Backup"},
    {kTrayBackUpNow, "Back up now"},
    {kTraySettings, "Settings"},
    {0, nullptr},
    {kTrayStop, "Stop"},
};

} // namespace

TrayMenu::TrayMenu(QWidget& owner, const PauseCounter& pause, Run run)
    : QObject(&owner), pause_(pause), run_(std::move(run)), menu_(new QMenu(&owner)) {
    for (const TrayItem& item : kLayout) {
        if (item.id == 0)
            continue;
        // The items outlive every layout: a command may still run from one while the menu is
        // laid out again.
        auto* action = new QAction(QString::fromUtf8(item.text), this);
        action->setObjectName(QString::number(item.id));
        action->setData(item.id);
        connect(action, &QAction::triggered, this, [this, id = item.id] { run_(id); });
        items_[item.id] = action;
    }
    connect(menu_, &QMenu::aboutToShow, this, &TrayMenu::rebuild);
    rebuild();
}

TrayMenu::~TrayMenu() = default;

QAction* TrayMenu::item(int id) const {
    const auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second;
}

void TrayMenu::rebuild() {
    menu_->clear(); // removes the items, deletes the separators
    for (const TrayItem& item : kLayout) {
        if (item.id == 0) {
            menu_->addSeparator();
            continue;
        }
        QAction* action = items_.at(item.id);
        action->setText(QString::fromUtf8(item.text));
        menu_->addAction(action);
    }
    if (pause_.paused())
        items_.at(kTrayStop)->setText(QStringLiteral("Resume"));
}

void TrayMenu::open() {
    menu_->popup(QCursor::pos());
}

} // namespace kestrun
