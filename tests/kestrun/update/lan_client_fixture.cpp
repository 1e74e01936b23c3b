#include "tests/kestrun/update/lan_client_fixture.h"

#include "tests/kestrun/update/version_copy.h"
#include "tests/support/qt_app.h"

#include <QCoreApplication>

namespace kestrun::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

LanClientFixture::LanClientFixture() : startMs_(clock_.monotonicMs()) {
    // A name of its own: closing by name must never reach another test's stand-in.
    program_ =
        (zelmoDir_ / ("Zelmo-" + std::to_string(QCoreApplication::applicationPid()) + ".exe"))
            .string();
    settings_.uhost = "127.0.0.1";
    settings_.uport = closedPort();
    settings_.ufile = program_ + "?+";
    settings_.upost = 60;
    settings_.upull = 10;
    fs::create_directories(serverDir_ / "Drop");
}

LanClientFixture::~LanClientFixture() {
    if (process_) {
        process_->kill();
        process_->waitForFinished(3000);
    }
}

std::string LanClientFixture::standIn(const std::string& version) {
    if (version == "119")
        return withVersion(readFile(KESTRUN_ZELMO_118), kestrun::test::version(5, 2, 0, 119));
    return readFile(version == "117" ? KESTRUN_ZELMO_117 : KESTRUN_ZELMO_118);
}

void LanClientFixture::installProgram(const std::string& version, bool start) {
    if (process_) {
        process_->kill();
        process_->waitForFinished(3000);
        process_.reset();
    }
    writeFile(program_, standIn(version));
    fs::permissions(program_, fs::perms(0750), fs::perm_options::replace);
    if (!start)
        return;
    process_ = std::make_unique<QProcess>();
    process_->start(QString::fromStdString(program_), {});
    ASSERT_TRUE(process_->waitForStarted(5000));
}

bool LanClientFixture::programRunning() {
    if (!process_)
        return false;
    processEventsUntil([&] { return process_->state() == QProcess::NotRunning; }, 300);
    return process_->state() != QProcess::NotRunning;
}

void LanClientFixture::startUpdateServer(const std::string& serverVersion, std::int32_t busy) {
    const fs::path serverProgram = serverDir_ / "Zelmo_serv.exe";
    writeFile(serverProgram, standIn(serverVersion));
    host_.ufile = serverProgram.string() + "?+";
    host_.postSeconds = 25;
    host_.pullSeconds = 20;
    host_.busyFlag = busy;
    ServerTiming timing;
    timing.replyPause = 50ms;
    timing.piecePause = 1ms;
    server_ = std::make_unique<CListenSocket>(host_, serverDir_ / "Drop", timing);
    ASSERT_TRUE(server_->start(0, QHostAddress::LocalHost));
    settings_.uport = server_->serverPort();
}

void LanClientFixture::publishWeb(const std::string& manifestVersion) {
    startSite();
    publish("Zelmov5/ver.txt", "Zelmo:" + manifestVersion + "\r\nKSN:1.2.1.3\r\n");
    publish("Zelmov5/Zelmo.exe", standIn("118"));
}

UpdateEngine LanClientFixture::engine() {
    return {settings_, log_, wait_, processes_, [this](const std::string& text) {
                std::lock_guard lock(mutex_);
                balloons_.push_back(text);
            }};
}

void LanClientFixture::runCheck() {
    whileServing<int>([this] {
        LanUpdateClient(engine(), web_, work_.path(), refusal_).check();
        return 0;
    });
}

std::int64_t LanClientFixture::runMirror() {
    return whileServing<std::int64_t>([this] {
        LanguageMirror mirror(engine(), programList_, limits_);
        mirror.update();
        return mirror.written();
    });
}

std::vector<std::string> LanClientFixture::balloons() {
    std::lock_guard lock(mutex_);
    return balloons_;
}

std::vector<std::string> LanClientFixture::filesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files.push_back(entry.path().lexically_relative(folder).string());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace kestrun::test
