#include "tests/support/test_support.h"
#include "transfer/ca_trust.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <vector>

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const std::string kOwnAuthority = R"(-----BEGIN CERTIFICATE-----
MIIBmDCCAT+gAwIBAgIUasW77cRizFAOurGegN8K4N0pCUYwCgYIKoZIzj0EAwIw
ITEfMB0GA1UEAwwWS2VzdHJ1biB0ZXN0IGF1dGhvcml0eTAgFw0yNjEyMTExMTAz
MzRaGA8yMTI2MTExNzExMDMzNFowITEfMB0GA1UEAwwWS2VzdHJ1biB0ZXN0IGF1
dGhvcml0eTBZMBMGByqGSM49AgEGCCqGSM49AwEHA0IABGc/yTdEQXOhvrgyUlNJ
WzaO2WOjbfFXElrKwT6gk7LrPWPWxnIj4C4xopDnlE+02cZlWvQyyyd88fOmDI1u
jKCjUzBRMB0GA1UdDgQWBBQDkKPl69T7/uKMqArW/szzfi44ITAfBgNVHSMEGDAW
gBQDkKPl69T7/uKMqArW/szzfi44ITAPBgNVHRMBAf8EBTADAQH/MAoGCCqGSM49
BAMCA0cAMEQCIHPvPe02NAH0/LfzyuOADM+ZPsjEp3n3LkU09LvdNdI6AiAA2pvT
/MN/5CHFvELCtl0utJXzp+5TacVSRlAMHDHkqQ==
-----END CERTIFICATE-----)"; // no line end after the last line, as a hand-made file may have

// The subjects of every certificate in the PEM text; empty when any block does not parse.
std::vector<std::string> subjects(const std::string& pem) {
    BIO* in = BIO_new_mem_buf(pem.data(), int(pem.size()));
    std::vector<std::string> out;
    while (X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr)) {
        char name[256];
        out.emplace_back(X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name));
        X509_free(cert);
    }
    BIO_free(in);
    std::size_t blocks = 0;
    for (auto at = pem.find("-----BEGIN"); at != std::string::npos;
         at = pem.find("-----BEGIN", at + 1))
        ++blocks;
    return out.size() == blocks ? out : std::vector<std::string>{};
}

// The system's authorities are named the way its TLS layer takes them beside ca.pem: by their
// folder, or (Windows) as certificates that parse, which go to the layer in one bundle with
// ca.pem's. Where the bundle cannot be made whole, none is: the system's store stays alone.
TEST(CaTrust, TheSystemsAuthoritiesStayTrustedBesideCaPem) {
    const std::string systemPem = systemAuthoritiesPem();
    const std::vector<std::string> system = subjects(systemPem);
#ifdef _WIN32
    EXPECT_TRUE(systemAuthorityFolder().empty());
    ASSERT_GT(system.size(), 10u) << "the ROOT store as PEM";
#else
    EXPECT_TRUE(fs::is_directory(systemAuthorityFolder()));
    EXPECT_EQ(systemPem, "") << "OpenSSL reads the folder itself";
#endif
    TempDir dir;
    test::writeFile(dir / "ca.pem", kOwnAuthority);
    struct Case {
        fs::path extra;
        fs::path folder;
        bool bundled; // where the system's PEM is given
    };
    const Case cases[] = {
        {"", "", false},
        {dir / "ca.pem", "", true},
        {dir / "ca.pem", systemAuthorityFolder(), true}, // the default
        {dir / "ca.pem", dir.path(), false},             // the folder is named beside the file
        {dir / "missing.pem", "", false},
        {dir.path(), "", false}, // not a file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra.string() + " | " + c.folder.string());
        CaTrust trust;
        trust.extraCaFile = c.extra;
        trust.systemCaFolder = c.folder;
        const auto bundle = inlineCaBundle(trust);
        ASSERT_EQ(bundle.has_value(), c.bundled && !system.empty());
        if (!bundle)
            continue;
        std::vector<std::string> expected = system;
        expected.push_back("/CN=Kestrun test authority");
        EXPECT_EQ(subjects(*bundle), expected);
    }
}

} // namespace
} // namespace kestrun
