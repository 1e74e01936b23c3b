#pragma once

#include "tests/support/test_support.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrun::test {

class HostProgram;

// A self-signed certificate for 127.0.0.1 and localhost, made with openssl.
struct Certificate {
    std::filesystem::path cert;
    std::filesystem::path key;
};
// Empty paths when openssl failed.
Certificate makeCertificate(const std::filesystem::path& dir, const std::string& name);

// An Ed25519 key pair made with openssl as a release key is made; empty paths when it failed.
struct ReleaseKey {
    std::filesystem::path privateKey;
    std::filesystem::path publicKey;
};
ReleaseKey makeReleaseKey(const std::filesystem::path& dir, const std::string& name);
// Signs a file as a release is signed, with scripts/sign-release.sh: its detached signature
// "<file>.sig" beside it, for the program of that name (the file's own name unless another is
// given) and the version the file carries (unless another is given).
bool signRelease(const ReleaseKey& key, const std::filesystem::path& file,
                 const std::string& name = {}, const std::string& version = {});
// Signs the file's bytes alone, as releases were signed before they named their program.
bool signBytesAlone(const ReleaseKey& key, const std::filesystem::path& file);

// One request the server received.
struct ServedRequest {
    std::string path;
    std::map<std::string, std::string> headers;
};

// The HTTP (or, with a certificate, HTTPS) test server of tests/peers on 127.0.0.1, serving a
// folder; started in the constructor, ended in the destructor. port() is 0 when it did not
// start.
class HttpServerPeer {
public:
    explicit HttpServerPeer(const std::filesystem::path& root, const Certificate* tls = nullptr);
    ~HttpServerPeer();
    HttpServerPeer(const HttpServerPeer&) = delete;
    HttpServerPeer& operator=(const HttpServerPeer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" or "https://..."
    std::string origin() const;
    std::vector<ServedRequest> requests() const;

private:
    TempDir control_; // the server's port file, request log and standard error
    std::unique_ptr<HostProgram> process_;
    bool tls_ = false;
    int port_ = 0;
};

} // namespace kestrun::test
