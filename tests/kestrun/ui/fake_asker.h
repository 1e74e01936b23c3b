#pragma once

#include "kestrun/ui/asker.h"

#include <QStringList>

namespace kestrun::test {

// Answers every question without a user and records what was asked.
struct FakeAsker final : Asker {
    QStringList stops;
    QStringList warnings;
    QStringList questions;
    bool answerYes = false;
    std::optional<QString> folder;
    std::optional<QString> executable;

    void stop(QWidget*, const QString& text) override { stops << text; }
    void warn(QWidget*, const QString& text) override { warnings << text; }
    bool askYesNo(QWidget*, const QString& text) override {
        questions << text;
        return answerYes;
    }
    std::optional<QString> chooseFolder(QWidget*, const QString& title) override {
        questions << title;
        return folder;
    }
    std::optional<QString> chooseExecutable(QWidget*) override { return executable; }
};

} // namespace kestrun::test
