#pragma once

#include "platform/system_authorities.h"

#include <curl/curl.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// The file of the working folder whose certificates are trusted in addition to the system's.
inline constexpr const char* kWorkingFolderCaFile = "ca.pem";

// The authorities a TLS peer's certificate is checked against: the system's store, plus the
// certificates of an extra file.
struct CaTrust {
    // Empty: the system's store only.
    std::filesystem::path extraCaFile;
    // The folder of the system's trusted authorities (under their hashed names); named to the
    // TLS layer again next to an extra file, which would otherwise replace the system's store.
    // Empty where the system keeps them in no folder: the system's authorities then go to the
    // TLS layer inline, in one bundle with the extra file's (inlineCaBundle).
    std::filesystem::path systemCaFolder = systemAuthorityFolder();
};

// The most an extra file may hold to be read into a bundle; a file of certificates is far
// smaller.
inline constexpr std::size_t kMaxExtraCaBytes = 16u << 20;

// The certificates the TLS layer is given inline: with an extra file and no folder of the
// system's to name beside it, the system's authorities followed by the file's. nullopt without
// an extra file or with the system's folder, and also when the system's authorities or the file
// cannot be read (or it is too large): the system's store alone is used then, because an extra
// file adds trust, it never takes any away.
std::optional<std::string> inlineCaBundle(const CaTrust& trust);

// The system's store plus "ca.pem" of the folder, when it is a regular file (not a link) that
// no one but this user, root or the members of a folder its group shares may change: anyone
// else could make us trust a server of theirs.
CaTrust workingFolderTrust(const std::filesystem::path& folder);

// Has the transfer verify its peer's certificate and name against the trust.
void applyCaTrust(CURL* handle, const CaTrust& trust);

// What a transfer's result says about its secure connection.
enum class TlsFailure {
    None,       // TLS did not fail
    NotTrusted, // the certificate's authority is unknown or its name does not match
    Failed,     // any other failure of the secure connection
};
TlsFailure tlsFailureOf(CURLcode result);

} // namespace kestrun
