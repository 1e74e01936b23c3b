#include "tests/kestrun/update/web_fixture.h"

#include "platform/path_rules.h"

#include <chrono>

namespace kestrun::test {

WebFixture::WebFixture() {
    // Tests that stall wait seconds, not the 25 minutes of the program.
    web_.setManifestLimits({std::chrono::seconds(10), std::chrono::seconds(2)});
    web_.setDownloadLimits(
        {std::chrono::seconds(10), std::chrono::seconds(2), std::chrono::seconds(5)});
}

void WebFixture::startSite(const Certificate* tls) {
    server_ = std::make_unique<HttpServerPeer>(site_.path(), tls);
    ASSERT_NE(server_->port(), 0) << "the test web server did not start";
    settings_.uhttp = server_->origin() + "/Zelmov5";
    kestrunBase_.emplace("KESTRUN_WEB_BASE", server_->origin() + "/KSN");
}

void WebFixture::publish(const std::string& relative, const std::string& content) {
    writeFile(site_ / relative, content);
}

void WebFixture::publishSigned(const std::string& relative, const std::string& content,
                               const ReleaseKey* key) {
    publish(relative, content);
    // As the program's bare name ("kbm" of "kbm.exe") and the version its file carries, which
    // the script itself reads from our ELF note only.
    std::string name = std::filesystem::path(relative).filename().string();
    const std::string_view suffix = executableSuffix();
    if (!suffix.empty() && name.ends_with(suffix))
        name.resize(name.size() - suffix.size());
    const auto version = readFileVersion(site_ / relative);
    ASSERT_TRUE(signRelease(key ? *key : testKey_, site_ / relative, name,
                            version ? version->text() : std::string()));
}

void WebFixture::trustTestKey() {
    writeFile(work_ / "kestrun-release.pem", readFile(testKey_.publicKey));
}

void WebFixture::setRoutes(const std::string& json) {
    writeFile(site_ / "routes.json", json);
}

std::vector<std::string> WebFixture::logMessages() const {
    std::vector<std::string> messages;
    for (const std::string& line : readLines(log_.file())) {
        const auto tab = line.find('\t');
        messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    }
    return messages;
}

std::vector<std::string> WebFixture::requestedPaths() const {
    std::vector<std::string> paths;
    if (server_)
        for (const ServedRequest& request : server_->requests())
            paths.push_back(request.path);
    return paths;
}

std::string WebFixture::versionedExecutable() {
    return readFile(builtProgram("kbm"));
}

} // namespace kestrun::test
