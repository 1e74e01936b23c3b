#pragma once

#include "kestrun/ui/settings_form.h"

#include <QDialog>

#include <map>

namespace kestrun {

class Asker;
struct DialogTemplate;
struct Settings;

// The settings window (template 132). It shows the main window's settings; OK validates the
// values, copies them back and records whether the program must restart for them. Saving them
// is the caller's step.
class CSettingsDlg final : public QDialog, private SettingsView {
    Q_OBJECT
public:
    static constexpr const char* kFolderChooserTitle = "Choose directory to backup file(s)";

    CSettingsDlg(Settings& settings, Asker& asker, QWidget* parent = nullptr);

    static const DialogTemplate& windowTemplate();

    // Whether the accepted values change the update mode or the update port.
    bool restartNeeded() const { return form_.restartNeeded(); }
    QWidget* control(int id) const;

    // The OK button: stays open when a value is refused.
    void onOk();

private:
    void chooseFolder();
    void chooseExecutable(int field);

    // SettingsView
    std::string text(int id) const override;
    void setText(int id, const std::string& text) override;
    bool checked(int id) const override;
    void setChecked(int id, bool on) override;
    int selection(int id) const override;
    void setSelection(int id, int index) override;
    void setEnabled(int id, bool on) override;
    void refuse(int id, const std::string& message) override;

    Settings& settings_;
    Asker& asker_;
    SettingsForm form_;
    std::map<int, QWidget*> controls_;
};

} // namespace kestrun
