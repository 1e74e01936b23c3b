#include "kestrun/update/http_transfer.h"

#include "common/text.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace kestrun {

namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

constexpr long kReadBufferSize = 4096;
constexpr const char* kAgent = "KSN v1.2";

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// State of one transfer, seen by the callbacks on the transferring thread.
struct Transfer {
    CURL* handle = nullptr;
    const BodySink* sink = nullptr;
    bool sinkSatisfied = false;
    std::string contentLength;
    std::chrono::steady_clock::duration stallLimit{};
    std::chrono::steady_clock::time_point lastByte = std::chrono::steady_clock::now();
};

// Ends the transfer when no byte has arrived for the stall limit since it connected.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& transfer = *static_cast<Transfer*>(user);
    const auto now = std::chrono::steady_clock::now();
    curl_off_t connectedAfter = 0;
    curl_easy_getinfo(transfer.handle, CURLINFO_CONNECT_TIME_T, &connectedAfter);
    if (connectedAfter == 0) {
        transfer.lastByte = now; // still connecting: the connect limit applies
        return 0;
    }
    return now - transfer.lastByte > transfer.stallLimit ? 1 : 0;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (bytes == 0)
        return 0;
    transfer.lastByte = std::chrono::steady_clock::now();
    if (!(*transfer.sink)(std::string_view(data, bytes))) {
        transfer.sinkSatisfied = true;
        return 0; // ends the transfer
    }
    return bytes;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    transfer.lastByte = std::chrono::steady_clock::now();
    std::string_view line(data, bytes);
    if (line.starts_with("HTTP/")) {
        // A new reply (after an interim one): only its own headers count.
        transfer.contentLength.clear();
        return bytes;
    }
    constexpr std::string_view kName = "content-length:";
    if (line.size() >= kName.size() && toLowerAscii(line.substr(0, kName.size())) == kName) {
        std::string_view value = line.substr(kName.size());
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
            value.remove_suffix(1);
        transfer.contentLength = std::string(value);
    }
    return bytes;
}

HeaderList requestHeaders(bool noCache) {
    curl_slist* list = nullptr;
    auto append = [&list](const char* header) {
        if (curl_slist* grown = curl_slist_append(list, header))
            list = grown;
    };
    append("Charset:UTF-8");
    append("Content-Type:application/x-www-form-urlencoded");
    if (noCache) {
        append("Cache-Control: no-cache");
        append("Pragma: no-cache");
    }
    return HeaderList(list);
}

} // namespace

bool isWebAddress(std::string_view url) {
    initCurlOnce();
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed)
        return false;
    const std::string text(url);
    if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return false;
    char* raw = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK)
        return false;
    const CurlText scheme(raw);
    const std::string service = toLowerAscii(scheme.get());
    if (service != "http" && service != "https")
        return false;
    raw = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK)
        return false;
    const CurlText host(raw);
    return host && host.get()[0] != '\0';
}

HttpGetOutcome httpGet(const HttpGetRequest& request, const BodySink& sink) {
    HttpGetOutcome outcome;
    if (!isWebAddress(request.url))
        return outcome;
    CurlHandle handle(curl_easy_init());
    if (!handle)
        return outcome;
    const HeaderList headers = requestHeaders(request.noCache);
    CURL* h = handle.get();
    Transfer transfer;
    transfer.handle = h;
    transfer.sink = &sink;
    transfer.stallLimit = request.limits.stall;

    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS,
                     static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, kAgent);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    // Whatever the status, the body is what the caller judges; a reply without a status line
    // is a body too.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 0L);
    curl_easy_setopt(h, CURLOPT_HTTP09_ALLOWED, 1L);
    applyCaTrust(h, request.trust);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReadBufferSize);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.limits.connect.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(request.limits.whole.count()));
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);

    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode result = curl_easy_perform(h);
    outcome.completed =
        result == CURLE_OK || (result == CURLE_WRITE_ERROR && transfer.sinkSatisfied);
    outcome.contentLength = std::move(transfer.contentLength);
    const TlsFailure failure = tlsFailureOf(result);
    if (failure != TlsFailure::None) {
        outcome.tlsFailure = failure == TlsFailure::NotTrusted ? "Certificate not trusted"
                                                               : "Secure connection failed";
        outcome.tlsDetail = errorText[0] ? errorText : curl_easy_strerror(result);
    }
    return outcome;
}

} // namespace kestrun
