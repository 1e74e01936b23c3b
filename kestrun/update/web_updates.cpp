#include "kestrun/update/web_updates.h"

#include "common/number.h"
#include "common/text.h"
#include "kestrun/core/event_log.h"
#include "kestrun/core/settings.h"
#include "kestrun/update/download_file.h"
#include "kestrun/update/local_wait.h"
#include "kestrun/update/manifest_scanner.h"
#include "kestrun/update/web_kinds.h"

#include <cstdint>

namespace kestrun {

namespace fs = std::filesystem;

WebUpdates::WebUpdates(const Settings& settings, const EventLog& log, fs::path workingFolder)
    : settings_(settings), log_(log), workingFolder_(std::move(workingFolder)) {}

std::string WebUpdates::siteBase(bool kestrunSite) const {
    return kestrunSite ? kestrunWebBase() : settings_.uhttp;
}

HttpGetRequest WebUpdates::request(std::string url, bool noCache, TransferLimits limits) const {
    HttpGetRequest get;
    get.url = std::move(url);
    get.limits = limits;
    // Over https no cache may answer either.
    get.noCache = noCache || toLowerAscii(get.url).starts_with("https:");
    get.trust = workingFolderTrust(workingFolder_);
    return get;
}

void WebUpdates::logTlsFailure(const std::string& url, const HttpGetOutcome& outcome) const {
    lastFailureWasTls_ = !outcome.tlsFailure.empty();
    if (lastFailureWasTls_)
        log_.log(outcome.tlsFailure + ": " + url + " (" + outcome.tlsDetail + ")");
}

std::optional<FileVersion> WebUpdates::readWebVersion(int kind) const {
    const auto manifest = manifestKind(kind);
    if (!manifest)
        return std::nullopt;
    const HttpGetRequest get =
        request(fileAddress(siteBase(manifest->site == WebSite::Kestrun), kManifestName), true,
                manifestLimits_);
    if (!isWebAddress(get.url))
        return std::nullopt;
    lastFailureWasTls_ = false;
    ManifestScanner scanner{std::string(manifest->key)};
    HttpGetOutcome outcome;
    runWhileServingEvents([&] {
        outcome = httpGet(get, [&scanner](std::string_view piece) { return scanner.feed(piece); });
    });
    if (!outcome.completed) {
        logTlsFailure(get.url, outcome);
        return std::nullopt;
    }
    return scanner.result();
}

bool WebUpdates::download(int kind) const {
    const auto file = downloadKind(kind);
    if (!file)
        return false;
    const HttpGetRequest get =
        request(fileAddress(siteBase(file->site == WebSite::Kestrun), file->remoteName), false,
                downloadLimits_);
    if (!isWebAddress(get.url))
        return false;
    const fs::path local = workingFolder_ / file->localName;

    const ScopedWaitCursor cursor;
    std::int64_t received = 0;
    DownloadFile saved(local);
    HttpGetOutcome outcome;
    lastFailureWasTls_ = false;
    runWhileServingEvents([&] {
        outcome = httpGet(get, [&](std::string_view piece) {
            received += static_cast<std::int64_t>(piece.size());
            if (received > mostDownloaded_)
                return false;
            saved.write(piece);
            return true;
        });
    });
    const std::int32_t announced = atoiPrefix(outcome.contentLength);
    const std::string sizes = "Update downloaded, size: " + std::to_string(received) + " of " +
                              std::to_string(announced) + " bytes, ";
    // A body that ended before its announced length, or a transfer cut off once the reply had
    // begun, is no download: its bytes go with their temporary file.
    if (received > mostDownloaded_) {
        log_.log(sizes + "file: " + local.string() + ", but it is too large! cancelation!");
        return false;
    }
    if (!outcome.completed) {
        logTlsFailure(get.url, outcome);
        if (received > 0 || announced > 0)
            log_.log(sizes + "file: " + local.string() + ", but it is incomplete! cancelation!");
        return false;
    }
    saved.commit();

    const auto version = readFileVersion(local);
    if (!version) {
        log_.log(sizes + "file: " + local.string() + ", but could not read version! cancelation!");
        return false;
    }
    log_.log(sizes + "version: " + version->text() + ", file: " + local.string());
    return true;
}

std::optional<std::string> WebUpdates::fetchSignature(int kind) const {
    const auto file = downloadKind(kind);
    if (!file || file->site != WebSite::Kestrun)
        return std::nullopt;
    const HttpGetRequest get = request(
        fileAddress(siteBase(true), std::string(file->remoteName) + ".sig"), true, manifestLimits_);
    if (!isWebAddress(get.url))
        return std::nullopt;
    // A signature is 64 bytes: more than a few of them is no signature, and is not kept.
    constexpr std::size_t kMostKept = 256;
    std::string body;
    HttpGetOutcome outcome;
    runWhileServingEvents([&] {
        outcome = httpGet(get, [&body](std::string_view piece) {
            body.append(piece.substr(0, kMostKept - body.size()));
            return body.size() < kMostKept;
        });
    });
    if (!outcome.completed)
        return std::nullopt;
    return body;
}

} // namespace kestrun
