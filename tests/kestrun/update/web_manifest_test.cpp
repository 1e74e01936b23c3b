#include "kestrun/update/http_transfer.h"
#include "kestrun/update/manifest_scanner.h"
#include "kestrun/update/web_kinds.h"
#include "release/program_names.h"
#include "tests/kestrun/update/web_fixture.h"
#include "tests/support/host_programs.h"

#include <QTcpServer>

#include <array>
#include <fstream>
#include <optional>

namespace kestrun::test {
namespace {

using Version = std::optional<std::array<std::uint32_t, 4>>;

struct ManifestCase {
    const char* what;
    std::string text;
    int kind;
    Version expected;
};

const std::string kBoth = "Zelmo:5.2.0.117\r\nKSN:1.2.1.4\r\n";

const std::vector<ManifestCase> kManifestCases = {
    {"client application", kBoth, 0, {{5, 2, 0, 117}}},
    {"Kestrun", kBoth, 1, {{1, 2, 1, 4}}},
    {"backup program missing", kBoth, 2, std::nullopt},
    {"too few parts", "Zelmo:5.2\r\n", 0, std::nullopt},
    {"too few parts, another line follows", "Zelmo:5.2\r\nKSN:1.2.1.4\r\n", 0, std::nullopt},
    {"key right after the previous version", "KSN:1.2.1.4\nZelmo:5.2.0.118\n", 0, {{5, 2, 0, 118}}},
    {"revision ends with its line", "KSN:1.2.1.4\nZelmo:5.2.0.118\n", 1, {{1, 2, 1, 4}}},
    {"a version ends with its line", "Zelmo:5.2\n.0.117\n", 0, std::nullopt},
    {"key across lines", "KS\nN:1.2.3.4", 1, {{1, 2, 3, 4}}},
    {"a CR stays in the text", "KS\r\nN:1.2.3.4", 1, std::nullopt},
    {"first occurrence", "KVU:1.0.0.1 KVU:2.0.0.0", 3, {{1, 0, 0, 1}}},
    {"case-sensitive key", "zelmo:5.2.0.117", 0, std::nullopt},
    {"partly repeated key", "KSKSN:1.2.1.5", 1, {{1, 2, 1, 5}}},
    {"numbers read like atoi", "KBM: 5.+2.x.7b.9", 2, {{5, 2, 0, 7}}},
    {"negative and huge numbers", "KBM:-1.99999999999.0.1", 2, {{4294967295u, 2147483647, 0, 1}}},
    {"kind below the table", kBoth + "KBM:1.0.0.0KVU:1.0.0.0", -1, std::nullopt},
    {"kind above the table", kBoth + "KBM:1.0.0.0KVU:1.0.0.0", 4, std::nullopt},
};

Version parts(const std::optional<FileVersion>& version) {
    if (!version)
        return std::nullopt;
    return version->parts;
}

Version scan(const std::string& key, const std::string& text, std::size_t pieceSize) {
    ManifestScanner scanner(key);
    for (std::size_t at = 0; at < text.size(); at += pieceSize)
        if (!scanner.feed(std::string_view(text).substr(at, pieceSize)))
            break;
    return parts(scanner.result());
}

TEST(ManifestScannerTest, FindsTheVersionWhateverThePiecesOfTheManifest) {
    for (const ManifestCase& c : kManifestCases) {
        const auto kind = manifestKind(c.kind);
        if (!kind)
            continue; // no key: covered through the site
        for (const std::size_t pieceSize : {std::size_t{1}, std::size_t{3}, c.text.size()})
            EXPECT_EQ(scan(std::string(kind->key), c.text, pieceSize), c.expected)
                << c.what << ", pieces of " << pieceSize;
    }
}

TEST(ManifestScannerTest, FindsAKeyThatRepeatsItsOwnBeginning) {
    for (const std::size_t pieceSize : {std::size_t{1}, std::size_t{64}})
        EXPECT_EQ(scan("aab:", "aaab:1.2.3.4", pieceSize), (Version{{1, 2, 3, 4}}));
}

class WebManifestTest : public WebFixture {};

std::string header(const ServedRequest& request, const std::string& name) {
    const auto it = request.headers.find(name);
    return it == request.headers.end() ? "(none)" : it->second;
}

TEST_F(WebManifestTest, ReadsEachKindFromItsSite) {
    startSite();
    for (const ManifestCase& c : kManifestCases) {
        publish("Zelmov5/ver.txt", c.text);
        publish("KSN/ver.txt", c.text);
        const std::size_t before = requestedPaths().size();
        EXPECT_EQ(parts(web_.readWebVersion(c.kind)), c.expected) << c.what;
        const std::vector<std::string> paths = requestedPaths();
        if (!manifestKind(c.kind)) {
            EXPECT_EQ(paths.size(), before) << c.what << ": an unknown kind asks no site";
            continue;
        }
        ASSERT_EQ(paths.size(), before + 1) << c.what;
        EXPECT_EQ(paths.back(), c.kind == 0 ? "/Zelmov5//ver.txt" : "/KSN//ver.txt") << c.what;
    }
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(WebManifestTest, AsksForAFreshManifestWithTheAgentAndHeaders) {
    startSite();
    publish("Zelmov5/ver.txt", kBoth);
    publish("Zelmov5/Zelmo.exe", versionedExecutable());
    ASSERT_TRUE(web_.readWebVersion(0));
    ASSERT_TRUE(web_.download(0));
    const std::vector<ServedRequest> requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const ServedRequest& request : requests) {
        EXPECT_EQ(header(request, "user-agent"), "KSN v1.2") << request.path;
        EXPECT_EQ(header(request, "charset"), "UTF-8") << request.path;
        EXPECT_EQ(header(request, "content-type"), "application/x-www-form-urlencoded")
            << request.path;
    }
    EXPECT_EQ(header(requests[0], "cache-control"), "no-cache");
    // Over plain http a cache may answer a download.
    EXPECT_EQ(header(requests[1], "cache-control"), "(none)");
}

TEST_F(WebManifestTest, TakesTheBodyOfAnyReplyAndFollowsNoRedirect) {
    startSite();
    publish("moved/ver.txt", "Zelmo:9.9.9.9\n");
    struct Reply {
        const char* route;
        Version expected;
    };
    const Reply replies[] = {
        {R"({"redirect": "/moved/ver.txt", "body": "Moved"})", std::nullopt},
        {R"({"redirect": "/moved/ver.txt", "body": "Zelmo:5.2.0.120"})", {{5, 2, 0, 120}}},
        {R"({"status": 404, "body": "<html>Zelmo:5.2.0.122</html>"})", {{5, 2, 0, 122}}},
        {R"({"status": 500, "body": "<html>Internal error</html>"})", std::nullopt},
        {R"({"raw": "Zelmo:5.2.0.121\n"})", {{5, 2, 0, 121}}},
        {R"({"raw": "\u0000\u00ff\r\n\r\n\u0001Zelmo:\u0000"})", std::nullopt},
        {R"({"body": "Zelmo:5.2.0.123", "no_length": true})", {{5, 2, 0, 123}}},
        {R"({"body": "Zelmo:5.2.0.124\n", "stall_after": 8})", std::nullopt},
    };
    for (const Reply& reply : replies) {
        setRoutes(std::string(R"({"/Zelmov5//ver.txt": )") + reply.route + "}");
        EXPECT_EQ(parts(web_.readWebVersion(0)), reply.expected) << reply.route;
    }
    for (const std::string& path : requestedPaths())
        EXPECT_NE(path, "/moved/ver.txt");
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(WebManifestTest, RefusesOtherServicesWithoutTraffic) {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost));
    const std::string hostPort = "127.0.0.1:" + std::to_string(listener.serverPort());
    // A file address would be readable without any network.
    publish("Zelmov5/ver.txt", kBoth);
    publish("Zelmov5/Zelmo.exe", versionedExecutable());
    for (const std::string& base :
         {"ftp://" + hostPort + "/Zelmov5", "gopher://" + hostPort + "/Zelmov5",
          "file://" + (site_ / "Zelmov5").string(), std::string("not an address"),
          std::string("http:///Zelmov5")}) {
        settings_.uhttp = base;
        EXPECT_FALSE(web_.readWebVersion(0)) << base;
        EXPECT_FALSE(web_.download(0)) << base;
    }
    // The local wait serves events, so the listener may have taken a connection already.
    EXPECT_FALSE(listener.hasPendingConnections() || listener.waitForNewConnection(200));
    EXPECT_FALSE(std::filesystem::exists(work_ / "Zelmo.exe"));
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(WebManifestTest, TrustsASelfSignedSiteOnlyThroughCaPem) {
    if (runsUnderWine())
        GTEST_SKIP() << "under Wine, Schannel accepts a self-signed site that nothing trusts";
    const Certificate site = makeCertificate(work_.path(), "site");
    const Certificate other = makeCertificate(work_.path(), "other");
    ASSERT_FALSE(site.cert.empty());
    ASSERT_FALSE(other.cert.empty());
    startSite(&site);
    publish("KSN/ver.txt", "KSN:1.2.1.4\r\n");
    publish("KSN/" + programFileName(kBackupProgram), versionedExecutable());

    EXPECT_FALSE(web_.readWebVersion(1)) << "a self-signed certificate is not trusted by itself";
    EXPECT_TRUE(web_.lastFailureWasTls()) << "its caller adds no \"Could not connect\" line";
    EXPECT_FALSE(web_.download(2));
    // Each refused handshake says why, in the TLS layer's words.
    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 2u);
    const std::string files[] = {"/KSN//ver.txt (",
                                 "/KSN//" + programFileName(kBackupProgram) + " ("};
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(
            lines[i].starts_with("Certificate not trusted: " + server_->origin() + files[i]))
            << lines[i];
        EXPECT_NE(lines[i].find("certificate", lines[i].find('(')), std::string::npos) << lines[i];
    }
    writeFile(work_ / "ca.pem", readFile(other.cert));
    EXPECT_FALSE(web_.readWebVersion(1)) << "another certificate in ca.pem does not help";
    EXPECT_TRUE(requestedPaths().empty()) << "no request passes a refused handshake";

    writeFile(work_ / "ca.pem", readFile(other.cert) + readFile(site.cert));
    EXPECT_EQ(parts(web_.readWebVersion(1)), (Version{{1, 2, 1, 4}}));
    EXPECT_FALSE(web_.lastFailureWasTls());
    EXPECT_TRUE(web_.download(2));
    EXPECT_EQ(readFile(work_ / downloadFileName(kBackupProgram)), versionedExecutable());
    // Over https no cache answers a download either.
    EXPECT_EQ(header(server_->requests().back(), "cache-control"), "no-cache");

    // ca.pem adds to the system's authorities, it does not replace them: a site trusted
    // through the system's folder stays trusted next to a ca.pem of another name.
    const std::filesystem::path system = work_ / "system-certs";
    std::filesystem::create_directory(system);
    std::filesystem::copy_file(site.cert, system / "site.pem");
    const std::filesystem::path unrelated = work_ / "unrelated.pem";
    ASSERT_EQ(runHostShell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -days 2 -subj /CN=unrelated -keyout /dev/null -out '" +
                           hostPath(unrelated) + "' 2>/dev/null && openssl rehash '" +
                           hostPath(system) + "' 2>/dev/null"),
              0);
    HttpGetRequest get;
    get.url = server_->origin() + "/KSN//ver.txt";
    get.trust.extraCaFile = unrelated;
    get.trust.systemCaFolder = system;
    std::string body;
    EXPECT_TRUE(httpGet(get, [&](std::string_view piece) {
                    body += piece;
                    return true;
                }).completed);
    EXPECT_EQ(body, "KSN:1.2.1.4\r\n");
}

TEST_F(WebManifestTest, ReadsAHugeManifestInLittleMemory) {
    {
        // Written piece by piece, so the test itself never holds the manifest.
        std::filesystem::create_directories(site_ / "KSN");
        std::ofstream out(site_ / "KSN" / "ver.txt", std::ios::binary);
        const std::string line = std::string(99, 'x') + "\n";
        for (int i = 0; i < 400000; ++i)
            out << line;
        out << "KBM:1.0.0.9\n";
    }
    startSite();

    const long before = peakMemoryKilobytes();
    EXPECT_EQ(parts(web_.readWebVersion(2)), (Version{{1, 0, 0, 9}}));
    // 40 MB went by; the peak grows by far less.
    EXPECT_LT(peakMemoryKilobytes() - before, 16 * 1024);
}

} // namespace
} // namespace kestrun::test
