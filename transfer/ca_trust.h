#pragma once

#include <curl/curl.h>

#include <filesystem>

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
    std::filesystem::path systemCaFolder = "/etc/ssl/certs";
};

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
