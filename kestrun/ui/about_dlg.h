#pragma once

#include <QDialog>
#include <QIcon>

namespace kestrun {

struct Settings;
class SettingsStore;

// The about box: the program icon, the program's version and the check box "Update program
// automatically". OK stores the box in the "Update" setting and saves that value alone; Esc
// and the close box change nothing.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 100;
    static constexpr int kUpdateId = 1006;

    CAboutDlg(Settings& settings, SettingsStore& store, const QIcon& programIcon,
              QWidget* parent = nullptr);

    // "Kestrun, version 1.2.1.3", from the version the program is built with.
    static QString versionText();

    void accept() override;

private:
    Settings& settings_;
    SettingsStore& store_;
};

} // namespace kestrun
