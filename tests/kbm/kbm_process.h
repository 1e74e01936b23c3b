#pragma once

// The built kbm run as its own process in the sandbox.

#include "kbm/paths.h"
#include "tests/kbm/kbm_test_support.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <filesystem>
#include <string>

namespace kestrun::test {

// Starts the built kbm in the sandbox's working folder without a display; on POSIX through a
// shell that first runs `shellPrefix` (for example a resource limit).
inline void startKbm(const KbmSandbox& box, QProcess& kbm, const std::string& shellPrefix = "") {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("APPDATA", QString::fromStdString(box.data.string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(box.config.string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(box.root.path().string()));
    kbm.setProcessEnvironment(env);
    kbm.setWorkingDirectory(QString::fromStdString(box.work.string()));
    const QString program = QString::fromStdString(builtProgram("kbm").string());
    if (shellPrefix.empty())
        kbm.start(program, {});
    else
        kbm.start("/bin/sh",
                  {"-c", QString::fromStdString(shellPrefix + "; exec \"$0\""), program});
}

// The exit code of a kbm that ran to its end; -2 when a signal ended it, -1 when it was still
// running after the time limit.
inline int finish(QProcess& kbm, int limitMs = 60000) {
    if (!kbm.waitForFinished(limitMs))
        return -1;
    return kbm.exitStatus() == QProcess::NormalExit ? kbm.exitCode() : -2;
}

inline int runKbm(const KbmSandbox& box, const std::string& shellPrefix = "", int limitMs = 60000) {
    QProcess kbm;
    startKbm(box, kbm, shellPrefix);
    return finish(kbm, limitMs); // a kbm still running then is killed with its QProcess
}

inline std::string summary(const KbmSandbox& box, const std::string& counts) {
    return "Backup summary: " + counts + ", to " + box.dest.string();
}

inline bool logHas(const KbmSandbox& box, const std::string& message) {
    const auto messages = box.logMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

// Whether kbm's run has begun: its first step makes the marker folder.
inline bool runBegan(const KbmSandbox& box) {
    return std::filesystem::exists(markerFolder(box.data));
}

// POSIX: the settings file of the sandbox's user (Windows keeps them in the registry).
inline void mirrorFolderSettings(const KbmSandbox& box, const std::filesystem::path& folder) {
    writeFile(box.work / kIncludeListFile, folder.string() + "\t1\t0\r\n");
    writeFile(box.config / "Tavisoft" / "Kestrun.conf",
              "[General]\nFolder=1\nPath=" + box.dest.string() + "/\n");
}

} // namespace kestrun::test
