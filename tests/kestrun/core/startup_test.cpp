#include "tests/support/test_support.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

using kestrun::test::TempDir;

namespace {

// The environment of a Kestrun process that touches only the test's folders.
QProcessEnvironment isolatedEnvironment(const TempDir& dir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const auto at = [&](const char* sub) {
        std::filesystem::create_directories(dir / sub);
        return QString::fromStdString((dir / sub).string());
    };
    env.insert("XDG_CONFIG_HOME", at("config"));
    env.insert("XDG_CONFIG_DIRS", at("xdg"));
    env.insert("XDG_RUNTIME_DIR", at("runtime"));
    env.insert("APPDATA", at("appdata"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

} // namespace

// A second start leaves exactly one instance running: the first shows its window (on a desktop
// without a tray that is the only way back to it) and the second ends at once, silently.
TEST(Startup, SecondInstanceShowsTheFirstsWindowAndEnds) {
    TempDir dir;
    std::filesystem::create_directories(dir / "work");
    const QString program = QString::fromStdString(kestrun::test::builtProgram("kestrun").string());
    const auto start = [&](QProcess& process) {
        process.setProcessEnvironment(isolatedEnvironment(dir));
        process.setWorkingDirectory(QString::fromStdString((dir / "work").string()));
        process.start(program, {});
        return process.waitForStarted();
    };
    QProcess first;
    ASSERT_TRUE(start(first));
    const auto log = dir / "work/Kestrun.log";
    const auto channel = dir / "runtime/KESTRUN_1.0.sock";
    ASSERT_TRUE(kestrun::test::waitUntil(
        [&] { return std::filesystem::exists(log) && std::filesystem::exists(channel); },
        std::chrono::seconds(10)));
    EXPECT_EQ(std::filesystem::status(channel).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    for (int n = 1; n <= 2; ++n) {
        QProcess second;
        ASSERT_TRUE(start(second));
        ASSERT_TRUE(second.waitForFinished(5000));
        EXPECT_EQ(second.exitCode(), 0);
        EXPECT_TRUE(second.readAllStandardError().isEmpty());
        // The first had shown its window before it answered, and the second waited for that.
        const auto lines = kestrun::test::readLines(log);
        ASSERT_EQ(lines.size(), 1u + n);
        EXPECT_NE(lines[0].find("\tProgram started"), std::string::npos);
        EXPECT_NE(lines[n].find("\tWindow shown for a second start"), std::string::npos);
    }
    EXPECT_EQ(first.state(), QProcess::Running);
    first.kill();
    first.waitForFinished();
}
