#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct evp_pkey_st; // OpenSSL's EVP_PKEY

namespace kestrun {

// The public keys whose Ed25519 signatures make a program from our web site one we run: the
// release key built into the program, and the keys an office that mirrors the site adds in
// "kestrun-release.pem" in the working folder. A signature is the 64 raw bytes that
// `openssl pkeyutl -sign -rawin` writes for the whole file.
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

    // Empty when one of the keys made the signature of the content; otherwise why not.
    std::string refusal(std::string_view content, std::string_view signature) const;

private:
    struct KeyFree {
        void operator()(evp_pkey_st* key) const;
    };
    std::vector<std::unique_ptr<evp_pkey_st, KeyFree>> keys_;
};

// Why a downloaded program is not to be kept, or empty when its signature (nullopt: it could
// not be fetched) verifies against the trusted keys of the working folder.
std::string releaseRefusal(const std::filesystem::path& program,
                           const std::optional<std::string>& signature,
                           const std::filesystem::path& workingFolder);

} // namespace kestrun
