#pragma once

#include "common/file_version.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct evp_pkey_st; // OpenSSL's EVP_PKEY

namespace kestrun {

// What a release signature covers: a header that names the program and the version its file
// carries, then the file's bytes, so that a signed program is ours only under its own name and
// version (a signed Kestrun is no backup program, and a file whose version note was changed is
// no longer signed):
//   "kestrun-release\nname kbm\nversion 1.0.0.1\n" followed by the bytes of kbm
// Each number of the version is written in decimal, as the version note holds it.
std::string releaseHeader(std::string_view name, const FileVersion& version);

// A downloaded program read once, from one open file: the bytes its signature is checked on and
// the version they carry. What was checked is what is put in place; the file is not read again.
struct ReleaseFile {
    std::string content;
    std::optional<FileVersion> version;
};

// nullopt when the file is no regular file (a link is not followed), cannot be read, or is
// larger than any program of ours.
std::optional<ReleaseFile> readReleaseFile(const std::filesystem::path& program);

// The public keys whose Ed25519 signatures make a program from our web site one we run: the
// release key built into the program, and the keys an office that mirrors the site adds in
// "kestrun-release.pem" in the working folder. A signature is the 64 raw bytes that
// `openssl pkeyutl -sign -rawin` writes for the header and the file (see releaseHeader).
class ReleaseKeys {
public:
    static constexpr const char* kKeyFileName = "kestrun-release.pem";
    static constexpr std::size_t kSignatureSize = 64;

    ReleaseKeys();
    ~ReleaseKeys();
    ReleaseKeys(ReleaseKeys&&) noexcept;
    ReleaseKeys& operator=(ReleaseKeys&&) noexcept;

    // The built-in key and those of the working folder's key file, read only when it is a
    // regular file that no one outside this user's trust may change (as its folder).
    static ReleaseKeys trustedIn(const std::filesystem::path& workingFolder);

    // Adds every Ed25519 public key of a PEM text; anything else in it is passed over.
    // Returns how many were added.
    std::size_t addPem(std::string_view pem);
    std::size_t size() const { return keys_.size(); }

    // Empty when one of the keys signed the content as the program of that name and version;
    // otherwise why not. A signature of the content alone, as releases were signed before
    // their name and version were, is refused with its own reason: such a release must be
    // signed again.
    std::string refusal(std::string_view name, const FileVersion& version, std::string_view content,
                        std::string_view signature) const;

private:
    struct KeyFree {
        void operator()(evp_pkey_st* key) const;
    };
    std::vector<std::unique_ptr<evp_pkey_st, KeyFree>> keys_;
};

// Why a downloaded program is not to be kept as the program of that name, or empty when its
// signature (nullopt: it could not be fetched) verifies for its bytes and their version
// against the trusted keys of the working folder.
std::string releaseRefusal(std::string_view name, const ReleaseFile& release,
                           const std::optional<std::string>& signature,
                           const std::filesystem::path& workingFolder);

} // namespace kestrun
