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

TEST(Startup, SecondInstanceEndsAtOnceAndLeavesTheFirstAlone) {
    TempDir dir;
    std::filesystem::create_directories(dir / "work");
    const QString program = QString::fromStdString((kestrun::test::binDir() / "kestrun").string());
    QProcess first;
    first.setProcessEnvironment(isolatedEnvironment(dir));
    first.setWorkingDirectory(QString::fromStdString((dir / "work").string()));
    first.start(program, {});
    ASSERT_TRUE(first.waitForStarted());
    const auto log = dir / "work/Kestrun.log";
    ASSERT_TRUE(kestrun::test::waitUntil([&] { return std::filesystem::exists(log); },
                                         std::chrono::seconds(10)));

    QProcess second;
    second.setProcessEnvironment(isolatedEnvironment(dir));
    second.setWorkingDirectory(QString::fromStdString((dir / "work").string()));
    second.start(program, {});
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().isEmpty());

    EXPECT_EQ(first.state(), QProcess::Running);
    const auto lines = kestrun::test::readLines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\tProgram started"), std::string::npos);
    first.kill();
    first.waitForFinished();
}
