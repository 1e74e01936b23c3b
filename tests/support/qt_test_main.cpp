// The main() of widget tests: one application object for the whole run (offscreen, set by
// CTest), created before and destroyed after every test.
#include "platform/offscreen_font.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

int main(int argc, char** argv) {
    // Tests never need a real display, also when CTest lists them.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Without a runtime folder Qt would make one below /tmp and leave it there: the run gets a
    // private one of its own, removed at the end. (Qt for Windows uses none.)
    std::optional<QTemporaryDir> runtime;
#ifndef Q_OS_WIN
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        runtime.emplace(QDir::tempPath() + QStringLiteral("/kestrun-test-runtime-XXXXXX"));
        if (runtime->isValid())
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
    }
#endif
    ::testing::InitGoogleTest(&argc, argv);
    int result = 0;
    {
        QApplication app(argc, argv);
        kestrun::useInstalledFontOffscreen();
        result = RUN_ALL_TESTS();
    }
    return result;
}
