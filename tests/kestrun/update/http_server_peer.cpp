#include "tests/kestrun/update/http_server_peer.h"

#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <unistd.h>

namespace kestrun::test {

namespace fs = std::filesystem;

Certificate makeCertificate(const fs::path& dir, const std::string& name) {
    Certificate made{dir / (name + "-cert.pem"), dir / (name + "-key.pem")};
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                   "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout",
                   QString::fromStdString(made.key.string()), "-out",
                   QString::fromStdString(made.cert.string())});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return {};
    return made;
}

namespace {

bool runOpenssl(const QStringList& arguments) {
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    openssl.start(QStringLiteral("openssl"), arguments);
    return openssl.waitForFinished(30000) && openssl.exitCode() == 0;
}

QString text(const fs::path& path) {
    return QString::fromStdString(path.string());
}

} // namespace

ReleaseKey makeReleaseKey(const fs::path& dir, const std::string& name) {
    const ReleaseKey made{dir / (name + ".pem"), dir / (name + "-public.pem")};
    if (!runOpenssl({"genpkey", "-algorithm", "ed25519", "-out", text(made.privateKey)}) ||
        !runOpenssl(
            {"pkey", "-in", text(made.privateKey), "-pubout", "-out", text(made.publicKey)}))
        return {};
    return made;
}

bool signRelease(const ReleaseKey& key, const fs::path& file, const std::string& name,
                 const std::string& version) {
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    script.setStandardOutputFile(QProcess::nullDevice());
    QStringList arguments{text(key.privateKey), text(file)};
    arguments << QString::fromStdString(name.empty() ? file.filename().string() : name);
    if (!version.empty())
        arguments << QString::fromStdString(version);
    script.start(text(sourceDir() / "scripts" / "sign-release.sh"), arguments);
    return script.waitForFinished(30000) && script.exitCode() == 0;
}

bool signBytesAlone(const ReleaseKey& key, const fs::path& file) {
    return runOpenssl({"pkeyutl", "-sign", "-rawin", "-inkey", text(key.privateKey), "-in",
                       text(file), "-out", text(file.string() + ".sig")});
}

HttpServerPeer::HttpServerPeer(const fs::path& root, const Certificate* tls) : tls_(tls) {
    static std::atomic<int> counter{0};
    control_ = fs::temp_directory_path() /
               ("kestrun-http-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    fs::create_directories(control_);
    const fs::path portFile = control_ / "port";
    QStringList arguments{
        QString::fromStdString((sourceDir() / "tests" / "peers" / "http_server.py").string()),
        QString::fromStdString(root.string()), QString::fromStdString(portFile.string()),
        QString::fromStdString((control_ / "requests.log").string())};
    if (tls)
        arguments << QString::fromStdString(tls->cert.string())
                  << QString::fromStdString(tls->key.string());
    process_ = std::make_unique<QProcess>();
    process_->setStandardOutputFile(QProcess::nullDevice());
    process_->setStandardErrorFile(QString::fromStdString((control_ / "stderr.log").string()));
    process_->start(QStringLiteral("/usr/bin/python3"), arguments);
    if (!process_->waitForStarted(10000))
        return;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        std::error_code ec;
        if (fs::exists(portFile, ec)) {
            port_ = std::stoi(readFile(portFile));
            return;
        }
        if (process_->waitForFinished(20) || process_->state() == QProcess::NotRunning)
            return;
    }
}

HttpServerPeer::~HttpServerPeer() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
    std::error_code ec;
    fs::remove_all(control_, ec);
}

std::string HttpServerPeer::origin() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<ServedRequest> HttpServerPeer::requests() const {
    std::vector<ServedRequest> served;
    for (const std::string& line : readLines(control_ / "requests.log")) {
        const QJsonObject object =
            QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        ServedRequest request{object.value("path").toString().toStdString(), {}};
        const QJsonObject headers = object.value("headers").toObject();
        for (auto it = headers.begin(); it != headers.end(); ++it)
            request.headers[it.key().toLower().toStdString()] = it.value().toString().toStdString();
        served.push_back(std::move(request));
    }
    return served;
}

} // namespace kestrun::test
