#pragma once

#include <filesystem>
#include <string>

namespace kestrun {

// The certificate authorities the system trusts for TLS, in the form the system's TLS layer is
// given them beside a file of further authorities.
//
// The folder that names them, one certificate a file under its hashed name, where the system
// keeps them so (OpenSSL's systems); empty where it does not (Windows, whose store is no file).
std::filesystem::path systemAuthorityFolder();

// Their certificates as PEM text, where a TLS layer given certificates of its own no longer
// consults the system's store and must be handed the system's inline as well (Windows' "ROOT"
// store); empty where the folder names them, or when the store cannot be read.
std::string systemAuthoritiesPem();

} // namespace kestrun
