#include "platform/system_authorities.h"

namespace kestrun {

// Debian's (and OpenSSL's usual) folder of the trusted authorities, under their hashed names.
std::filesystem::path systemAuthorityFolder() {
    return "/etc/ssl/certs";
}

// OpenSSL reads the folder itself next to a file of further certificates.
std::string systemAuthoritiesPem() {
    return {};
}

} // namespace kestrun
