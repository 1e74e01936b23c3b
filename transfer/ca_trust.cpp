#include "transfer/ca_trust.h"

#include "common/file_util.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"

namespace kestrun {

namespace fs = std::filesystem;

CaTrust workingFolderTrust(const fs::path& folder) {
    CaTrust trust;
    const fs::path file = folder / kWorkingFolderCaFile;
    if (!othersMayChangeFile(file))
        trust.extraCaFile = file;
    return trust;
}

std::optional<std::string> inlineCaBundle(const CaTrust& trust) {
    if (trust.extraCaFile.empty() || !trust.systemCaFolder.empty())
        return std::nullopt;
    std::string bundle = systemAuthoritiesPem();
    const auto extra = readRegularFile(trust.extraCaFile, kMaxExtraCaBytes);
    if (bundle.empty() || !extra)
        return std::nullopt;
    if (bundle.back() != '\n')
        bundle += '\n';
    return bundle + *extra;
}

void applyCaTrust(CURL* handle, const CaTrust& trust) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (trust.extraCaFile.empty())
        return;
    if (trust.systemCaFolder.empty()) {
        // Certificates given to the TLS layer are all it trusts (Schannel's way): the system's
        // go with the file's, as one bundle, which the layer copies.
        if (auto bundle = inlineCaBundle(trust)) {
            curl_blob blob{bundle->data(), bundle->size(), CURL_BLOB_COPY};
            curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
        }
        return;
    }
    // The extra file replaces curl's default bundle, so the system's authorities are named
    // again through their folder: ca.pem adds trust, it never takes any away.
    curl_easy_setopt(handle, CURLOPT_CAINFO, utf8Path(trust.extraCaFile).c_str());
    std::error_code ec;
    if (fs::is_directory(trust.systemCaFolder, ec))
        curl_easy_setopt(handle, CURLOPT_CAPATH, utf8Path(trust.systemCaFolder).c_str());
}

TlsFailure tlsFailureOf(CURLcode result) {
    switch (result) {
    case CURLE_PEER_FAILED_VERIFICATION:
        return TlsFailure::NotTrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_SHUTDOWN_FAILED:
        return TlsFailure::Failed;
    default:
        return TlsFailure::None;
    }
}

} // namespace kestrun
