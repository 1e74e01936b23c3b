#include "tests/kestrun/update/http_server_peer.h"

#include "tests/support/host_programs.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace kestrun::test {

namespace fs = std::filesystem;

namespace {

bool runOpenssl(const std::vector<std::string>& arguments) {
    return runHostProgram("openssl", arguments) == 0;
}

} // namespace

Certificate makeCertificate(const fs::path& dir, const std::string& name) {
    Certificate made{dir / (name + "-cert.pem"), dir / (name + "-key.pem")};
    if (!runOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                     "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                     "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", hostPath(made.key),
                     "-out", hostPath(made.cert)}))
        return {};
    return made;
}

ReleaseKey makeReleaseKey(const fs::path& dir, const std::string& name) {
    const ReleaseKey made{dir / (name + ".pem"), dir / (name + "-public.pem")};
    if (!runOpenssl({"genpkey", "-algorithm", "ed25519", "-out", hostPath(made.privateKey)}) ||
        !runOpenssl({"pkey", "-in", hostPath(made.privateKey), "-pubout", "-out",
                     hostPath(made.publicKey)}))
        return {};
    return made;
}

bool signRelease(const ReleaseKey& key, const fs::path& file, const std::string& name,
                 const std::string& version) {
    std::vector<std::string> arguments{hostPath(key.privateKey), hostPath(file),
                                       name.empty() ? file.filename().string() : name};
    if (!version.empty())
        arguments.push_back(version);
    return runHostProgram(hostPath(sourceDir() / "scripts" / "sign-release.sh"), arguments) == 0;
}

bool signBytesAlone(const ReleaseKey& key, const fs::path& file) {
    return runOpenssl({"pkeyutl", "-sign", "-rawin", "-inkey", hostPath(key.privateKey), "-in",
                       hostPath(file), "-out", hostPath(file.string() + ".sig")});
}

HttpServerPeer::HttpServerPeer(const fs::path& root, const Certificate* tls) : tls_(tls) {
    const fs::path portFile = control_ / "port";
    std::vector<std::string> arguments{hostPath(sourceDir() / "tests" / "peers" / "http_server.py"),
                                       hostPath(root), hostPath(portFile),
                                       hostPath(control_ / "requests.log")};
    if (tls) {
        arguments.push_back(hostPath(tls->cert));
        arguments.push_back(hostPath(tls->key));
    }
    process_ = std::make_unique<HostProgram>("/usr/bin/python3", arguments,
                                             HostOutput{{}, control_ / "stderr.log"});
    if (!process_->started())
        return;
    waitUntil(
        [&] {
            std::error_code ec;
            return fs::exists(portFile, ec) || !process_->running();
        },
        std::chrono::seconds(15));
    std::error_code ec;
    if (fs::exists(portFile, ec))
        port_ = std::stoi(readFile(portFile));
}

HttpServerPeer::~HttpServerPeer() = default;

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
