#pragma once

#include "kestrun/ui/list_prompts.h"

#include <QStringList>

#include <deque>
#include <vector>

namespace kestrun::test {

// Answers the list dialogs' message boxes and choosers without a user, and records them.
class FakePrompts final : public ListPrompts {
public:
    struct Shown {
        QString text;
        MessageIcon icon;
    };
    struct FolderAsked {
        QString title;
        QString preselected;
    };

    std::vector<Shown> messages;
    std::vector<FolderAsked> folderQuestions;
    // The next answers of the choosers; an empty or missing answer is a cancelled choice.
    std::deque<QString> executables, files, folders;

    void message(QWidget*, const QString& text, MessageIcon icon) override {
        messages.push_back({text, icon});
    }
    QString chooseExecutable(QWidget*) override { return next(executables); }
    QString chooseFile(QWidget*) override { return next(files); }
    QString chooseFolder(QWidget*, const QString& title, const QString& preselected) override {
        folderQuestions.push_back({title, preselected});
        return next(folders);
    }

private:
    static QString next(std::deque<QString>& answers) {
        if (answers.empty())
            return {};
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

} // namespace kestrun::test
