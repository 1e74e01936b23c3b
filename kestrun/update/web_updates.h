#pragma once

#include "common/file_version.h"
#include "kestrun/update/http_transfer.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

class EventLog;
struct Settings;

// The two operations every web update uses: reading one program's version from a site's
// manifest "ver.txt", and downloading one executable into the working folder. Both block
// their caller until the transfer has ended; on the main thread the window keeps serving
// its other events meanwhile. HTTPS certificates are verified against the system's store
// and the certificates of "ca.pem" in the working folder, when there is one.
class WebUpdates {
public:
    static constexpr std::chrono::seconds kDownloadLimit{1500}; // 25 minutes
    // A download is never larger than this: a server that sends without end fills no disk.
    static constexpr std::int64_t kMostDownloaded = 512ll * 1024 * 1024;
    static constexpr const char* kCaFileName = kWorkingFolderCaFile;

    // Uhttp is read from the settings at each call; our own site's base comes from
    // kestrunWebBase(), also at each call.
    WebUpdates(const Settings& settings, const EventLog& log, std::filesystem::path workingFolder);

    // Kind 0 the client application (key "Zelmo:"), 1 Kestrun ("KSN:"), 2 the backup program
    // ("KBM:"), 3 the updater ("KVU:"). nullopt for any other kind, a manifest that cannot be
    // fetched, lacks the key or holds a malformed version. Nothing is logged, but for a secure
    // connection that failed: "Certificate not trusted: <address> (<the TLS layer's words>)"
    // or "Secure connection failed: ..." tells the caller's "Could not connect" line why.
    std::optional<FileVersion> readWebVersion(int kind) const;

    // Kind 0 "Zelmo.exe", 1 "kestrun~", 2 "kbm~", 3 "kvu~" ("kestrun.exe~" ... on Windows),
    // 4 "Zelmo_serv.exe" in the working folder. True when the file was saved and carries a readable version (each saved file
    // gets its "Update downloaded, size: ..." line); false for any other kind, a failed
    // transfer (no line, but the TLS line above), a body shorter than its announced length or
    // cut off midway (the "... incomplete! cancelation!" line; nothing of it is kept) or a file
    // without a version (the "... cancelation!" line). A file that cannot be saved leaves an
    // older file of that name in place, whose version then decides.
    bool download(int kind) const;

    // The detached signature published beside a download of our own site (kinds 1..3): the
    // body of "<name>.sig", at most a little more than a signature's size. nullopt for any
    // other kind or a failed transfer.
    std::optional<std::string> fetchSignature(int kind) const;

    void setManifestLimits(TransferLimits limits) { manifestLimits_ = limits; }
    void setDownloadLimits(TransferLimits limits) { downloadLimits_ = limits; }
    void setMostDownloaded(std::int64_t bytes) { mostDownloaded_ = bytes; }
    // Whether the last manifest or download failed for its secure connection, a failure that
    // has its own line already.
    bool lastFailureWasTls() const { return lastFailureWasTls_; }

private:
    std::string siteBase(bool kestrunSite) const;
    HttpGetRequest request(std::string url, bool noCache, TransferLimits limits) const;
    void logTlsFailure(const std::string& url, const HttpGetOutcome& outcome) const;

    const Settings& settings_;
    const EventLog& log_;
    std::filesystem::path workingFolder_;
    TransferLimits manifestLimits_{std::chrono::seconds(60), std::chrono::seconds(60),
                                   std::chrono::seconds(120)};
    TransferLimits downloadLimits_{std::chrono::seconds(60), kDownloadLimit, kDownloadLimit};
    std::int64_t mostDownloaded_ = kMostDownloaded;
    mutable bool lastFailureWasTls_ = false;
};

} // namespace kestrun
