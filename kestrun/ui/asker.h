#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace kestrun {

// The questions the commands and dialogs put to the user; tests answer them without a user.
class Asker {
public:
    virtual ~Asker() = default;
    // A refused input: stop icon, OK.
    virtual void stop(QWidget* parent, const QString& text) = 0;
    // A value that does not read as its field's kind: exclamation icon, OK.
    virtual void warn(QWidget* parent, const QString& text) = 0;
    // Yes and No, Yes the default; true for Yes.
    virtual bool askYesNo(QWidget* parent, const QString& text) = 0;
    // A folder's full path; nullopt when cancelled, empty when the pick has no path.
    virtual std::optional<QString> chooseFolder(QWidget* parent, const QString& title) = 0;
    // An executable's full path; nullopt when cancelled.
    virtual std::optional<QString> chooseExecutable(QWidget* parent) = 0;
};

// Message boxes and file choosers on the screen.
class WidgetAsker final : public Asker {
public:
    void stop(QWidget* parent, const QString& text) override;
    void warn(QWidget* parent, const QString& text) override;
    bool askYesNo(QWidget* parent, const QString& text) override;
    std::optional<QString> chooseFolder(QWidget* parent, const QString& title) override;
    std::optional<QString> chooseExecutable(QWidget* parent) override;
};

} // namespace kestrun
