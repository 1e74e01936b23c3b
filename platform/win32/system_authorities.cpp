#include "platform/system_authorities.h"

#include <windows.h>

#include <wincrypt.h>

#include <string_view>

namespace kestrun {

namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One certificate's DER bytes as a PEM block: base64 in lines of 64 characters.
void appendPem(std::string& out, const unsigned char* der, std::size_t size) {
    out += "-----BEGIN CERTIFICATE-----\n";
    std::size_t column = 0;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::size_t n = size - i < 3 ? size - i : 3;
        const unsigned v = (unsigned(der[i]) << 16) | (n > 1 ? unsigned(der[i + 1]) << 8 : 0u) |
                           (n > 2 ? unsigned(der[i + 2]) : 0u);
        const char quad[4] = {kBase64[(v >> 18) & 63], kBase64[(v >> 12) & 63],
                              n > 1 ? kBase64[(v >> 6) & 63] : '=', n > 2 ? kBase64[v & 63] : '='};
        out.append(quad, 4);
        column += 4;
        if (column == 64) {
            out += '\n';
            column = 0;
        }
    }
    if (column != 0)
        out += '\n';
    out += "-----END CERTIFICATE-----\n";
}

} // namespace

// Schannel reads the store itself unless it is given certificates; then it trusts only those.
std::filesystem::path systemAuthorityFolder() {
    return {};
}

// The user's view of the "ROOT" store, which holds the machine's trusted roots as well (and
// those the administrators' policies add).
std::string systemAuthoritiesPem() {
    const HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (!store)
        return {};
    std::string pem;
    for (PCCERT_CONTEXT cert = ::CertEnumCertificatesInStore(store, nullptr); cert;
         cert = ::CertEnumCertificatesInStore(store, cert)) {
        if (cert->dwCertEncodingType & X509_ASN_ENCODING)
            appendPem(pem, cert->pbCertEncoded, cert->cbCertEncoded);
    }
    ::CertCloseStore(store, 0);
    return pem;
}

} // namespace kestrun
