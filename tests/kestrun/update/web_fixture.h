#pragma once

#include "kestrun/core/event_log.h"
#include "kestrun/core/settings.h"
#include "kestrun/update/web_updates.h"
#include "platform/clock.h"
#include "tests/kestrun/update/http_server_peer.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrun::test {

// A web site on loopback (its files below site(), its special replies in routes.json), a
// working folder with its event log, and the web operations pointed at both: the client
// application's base is <origin>/Zelmov5, our own <origin>/KSN.
class WebFixture : public ::testing::Test {
protected:
    WebFixture();

    // Starts the site; with a certificate it speaks HTTPS.
    void startSite(const Certificate* tls = nullptr);
    void publish(const std::string& relative, const std::string& content);
    // Publishes a program with its signature made by the key (the trusted test key unless
    // another is given).
    void publishSigned(const std::string& relative, const std::string& content,
                       const ReleaseKey* key = nullptr);
    // Makes the test key a trusted release key of the working folder.
    void trustTestKey();
    // The special replies, as the JSON object the server reads at every request.
    void setRoutes(const std::string& json);
    // The messages of the event log, without their time stamps.
    std::vector<std::string> logMessages() const;
    std::vector<std::string> requestedPaths() const;
    // The bytes of our built backup program, which carries the version 1.0.0.0.
    static std::string versionedExecutable();

    TempDir site_;
    TempDir work_;
    TestClock clock_{LocalDateTime::fromFields(2026, 3, 14, 9, 0, 0)};
    EventLog log_{clock_, work_.path()};
    Settings settings_;
    WebUpdates web_{settings_, log_, work_.path()};
    std::unique_ptr<HttpServerPeer> server_;
    TempDir keys_;
    ReleaseKey testKey_ = makeReleaseKey(keys_.path(), "test-release");

private:
    // Loopback is always reached directly.
    ScopedEnv noHttpProxy_{"http_proxy", std::nullopt};
    ScopedEnv noHttpsProxy_{"https_proxy", std::nullopt};
    ScopedEnv noAllProxy_{"ALL_PROXY", std::nullopt};
    ScopedEnv noAllProxyLower_{"all_proxy", std::nullopt};
    std::optional<ScopedEnv> kestrunBase_;
};

} // namespace kestrun::test
