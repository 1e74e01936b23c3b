#include "release/release_signature.h"

#include "platform/regular_file.h"
#include "platform/shared_folder.h"
#include "release/release_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// Far above any program of ours; a larger download is not read into memory to be checked.
constexpr std::size_t kLargestProgram = std::size_t{512} << 20;
// A key file holds a few keys of a few lines each.
constexpr std::size_t kLargestKeyFile = 64 * 1024;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool verifies(EVP_PKEY* key, std::string_view content, std::string_view signature) {
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    // Ed25519 signs the message itself: no digest is named, and the whole content is given
    // at once.
    return context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(content.data()),
                            content.size()) == 1;
}

bool verifiesWithAny(const auto& keys, std::string_view message, std::string_view signature) {
    for (const auto& key : keys)
        if (verifies(key.get(), message, signature))
            return true;
    return false;
}

} // namespace

std::string releaseHeader(std::string_view name, const FileVersion& version) {
    std::string header = "kestrun-release\nname ";
    header += name;
    header += "\nversion ";
    for (std::size_t i = 0; i < version.parts.size(); ++i) {
        if (i)
            header += '.';
        header += std::to_string(version.parts[i]);
    }
    header += '\n';
    return header;
}

std::optional<ReleaseFile> readReleaseFile(const fs::path& program) {
    const FileDescriptor fd = openRegularForReadingNoLink(program);
    if (!fd)
        return std::nullopt;
    auto content = readRest(fd, kLargestProgram);
    if (!content)
        return std::nullopt;
    ReleaseFile release{std::move(*content), std::nullopt};
    release.version = contentFileVersion(release.content);
    return release;
}

void ReleaseKeys::KeyFree::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

ReleaseKeys::ReleaseKeys() = default;
ReleaseKeys::~ReleaseKeys() = default;
ReleaseKeys::ReleaseKeys(ReleaseKeys&&) noexcept = default;
ReleaseKeys& ReleaseKeys::operator=(ReleaseKeys&&) noexcept = default;

ReleaseKeys ReleaseKeys::trustedIn(const fs::path& workingFolder) {
    ReleaseKeys keys;
    keys.addPem(kBuiltInReleaseKey);
    const fs::path file = workingFolder / kKeyFileName;
    if (!othersMayChangeFile(file))
        if (const auto pem = readRegularFile(file, kLargestKeyFile))
            keys.addPem(*pem);
    return keys;
}

std::size_t ReleaseKeys::addPem(std::string_view pem) {
    const std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio || pem.size() > kLargestKeyFile)
        return 0;
    std::size_t added = 0;
    // The public-key blocks in turn (blocks of other kinds are passed over); a damaged block
    // ends the reading.
    for (;;) {
        std::unique_ptr<EVP_PKEY, KeyFree> key(
            PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
        if (!key)
            break;
        if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
            continue;
        keys_.push_back(std::move(key));
        ++added;
    }
    ERR_clear_error(); // the end of the text is reported as an error, which is no one's business
    return added;
}

std::string ReleaseKeys::refusal(std::string_view name, const FileVersion& version,
                                 std::string_view content, std::string_view signature) const {
    if (signature.size() != kSignatureSize)
        return "its signature is not " + std::to_string(kSignatureSize) + " bytes";
    std::string message = releaseHeader(name, version);
    message += content;
    if (verifiesWithAny(keys_, message, signature))
        return {};
    // Only to say why: a signature of the bytes alone binds no name, and is never enough.
    if (verifiesWithAny(keys_, content, signature))
        return "its signature covers its bytes alone, the release must be re-signed with its name "
               "and version";
    return "no trusted key signed it as " + std::string(name) + " " + version.text();
}

std::string releaseRefusal(std::string_view name, const ReleaseFile& release,
                           const std::optional<std::string>& signature,
                           const fs::path& workingFolder) {
    if (!signature)
        return "its signature could not be fetched";
    if (!release.version)
        return "it carries no version to check its signature against";
    return ReleaseKeys::trustedIn(workingFolder)
        .refusal(name, *release.version, release.content, *signature);
}

} // namespace kestrun
