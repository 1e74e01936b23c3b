#include "kbm/ftp_sender.h"

#include "kbm/destination_identity.h"
#include "kbm/ftp_tls.h"

#include "platform/connection_close.h"
#include "platform/file_status.h"
#include "platform/regular_file.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace kestrun {

namespace fs = std::filesystem;

// State of one upload, seen by the read callback: a source file, or a short text of kbm's own.
struct FtpSender::Upload {
    const FileDescriptor* source = nullptr; // null: the text is stored
    std::string_view text;
    std::int64_t length = 0; // source length + 1
    std::int64_t sent = 0;
    bool started = false;
    bool cut = false;   // the source failed or ended before its length
    bool whole = false; // the source's last byte has been handed to the transfer
    std::string status;
    RunProgress* progress = nullptr; // null: nothing is shown
};

namespace {

constexpr std::size_t kBlockSize = 1024;
// More than an id: what stands there is no id of ours.
constexpr std::size_t kIdentityLimit = 64;
// How long closing a connection after the whole file waits for the server to end it.
constexpr int kCloseWaitMs = 2000;
// Bytes per second below which a transfer counts as stalled.
constexpr long kLowestSpeed = 512;

using Upload = FtpSender::Upload;

// Collects a downloaded identity file, refusing more than one could hold.
struct Download {
    std::string text;
    bool tooLong = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* userData) {
    auto& download = *static_cast<Download*>(userData);
    const std::size_t n = size * count;
    if (download.text.size() + n > kIdentityLimit) {
        download.tooLong = true;
        return 0;
    }
    download.text.append(data, n);
    return n;
}

// Fills the transfer's buffer block by block: the file is read 1024 bytes at a time, and after
// each block the progress moves and one pending message is handled, as the window expects; the
// blocks then leave together, so the network sees full buffers rather than one small send per
// block.
std::size_t readBlock(char* buffer, std::size_t size, std::size_t count, void* userData) {
    auto& upload = *static_cast<Upload*>(userData);
    const std::size_t room = size * count;
    if (!upload.source) {
        upload.whole = upload.text.empty();
        const std::size_t n = std::min(room, upload.text.size());
        std::copy_n(upload.text.data(), n, buffer);
        upload.text.remove_prefix(n);
        return n;
    }
    if (!upload.started) {
        // The server accepted the file: show what is being sent.
        upload.started = true;
        upload.progress->setStatus(upload.status);
    }
    std::size_t filled = 0;
    while (filled < room) {
        const std::size_t want = std::min(room - filled, kBlockSize);
        const long read = readSome(*upload.source, buffer + filled, want);
        // A read failure, or a source that ended before its length (cut meanwhile), fails the
        // transfer: what would arrive is not the file.
        if (read < 0 || (read == 0 && upload.sent < upload.length - 1)) {
            upload.cut = true;
            return CURL_READFUNC_ABORT;
        }
        if (read == 0) {
            upload.whole = true;
            break;
        }
        const auto got = static_cast<std::size_t>(read);
        filled += got;
        upload.sent += static_cast<std::int64_t>(got);
        upload.progress->setTransfer(static_cast<int>(upload.sent * 100 / upload.length));
        upload.progress->pump();
        if (got < want)
            break; // the source has no more for now: send what there is
    }
    return filled;
}

// Whether a name holds a byte libcurl refuses in an FTP path (below 0x20).
bool holdsControlCharacter(const std::string& name) {
    return std::any_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Whether a transfer could not even connect (refused, no answer to the connection, no such
// host), or stalled.
bool serverSilent(CURLcode result) {
    switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return true;
    default:
        return false;
    }
}

// libcurl's own words for a failed transfer, without trailing blanks.
std::string curlReason(CURLcode result, const char* errorText) {
    std::string text = errorText[0] ? errorText : curl_easy_strerror(result);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The URL of the folder that holds a file's URL, "/" included.
std::string folderOf(const std::string& url) {
    return url.substr(0, url.rfind('/') + 1);
}

// libcurl's closing of a connection of an upload. Once the whole file has been handed over, the
// server is given the time to end the connection itself: closed before, it would be reset when
// the server's unread session tickets (TLS 1.3) arrive, and the end of the file would be lost
// ("426 Failure reading network stream." from vsftpd).
int closeSocket(void* userData, curl_socket_t socket) {
    const auto* upload = static_cast<const Upload*>(userData);
    const int wait = upload && upload->whole ? kCloseWaitMs : 0;
    return closeConnection(static_cast<NativeSocket>(socket), wait) ? 0 : 1;
}

} // namespace

void FtpSender::SlistDeleter::operator()(curl_slist* list) const {
    curl_slist_free_all(list);
}

void FtpSender::CurlDeleter::operator()(CURL* handle) const {
    curl_easy_cleanup(handle);
}

FtpSender::FtpSender(FtpSettings settings, BackupLog& log, RunProgress& progress)
    : tlsMemory_(settings.tlsMemory), settings_(std::move(settings)), log_(log),
      progress_(progress) {}

FtpSender::~FtpSender() = default;

void FtpSender::setTimeouts(long connectSeconds, long stallSeconds) {
    connectTimeout_ = connectSeconds;
    stallTimeout_ = stallSeconds;
}

bool FtpSender::send(const std::string& source, const std::string& relative) {
    std::error_code ec;
    if (!fs::exists(fs::path(source), ec)) {
        log_.write("Can not find source file: " + source);
        return false;
    }
    progress_.setTransfer(0);
    if (settings_.host.empty())
        return false;
    if (givenUp_) {
        ++waiting_;
        return false;
    }

    // libcurl refuses such a path once it has logged in: the file is not sent, without a
    // connection.
    if (holdsControlCharacter(relative)) {
        return failed(source, "The name holds a control character, which FTP can not carry.");
    }
    if (ftpUrl(settings_, relative).empty())
        return failed(source, "no file name to store it under");
    if (relative == kDestinationIdentityFile)
        return failed(source, "kbm keeps its own file under that name");
    if (!haveHandle())
        return failed(source, "libcurl could not start a transfer");
    // A source that cannot be opened (no rights, or no regular file: a FIFO, a device, opened
    // without waiting on it) is not sent at all, so the server keeps the copy it has.
    const FileDescriptor file = openRegularForReading(fs::path(source));
    const auto status = fileStatus(file);
    if (!status)
        return failed(source, "not a regular file that can be read");
    Upload upload;
    upload.source = &file;
    upload.length = status->size + 1;
    upload.progress = &progress_;
    const auto slash = relative.rfind('/');
    upload.status = (slash == std::string::npos ? relative : relative.substr(slash + 1)) + " -> " +
                    settings_.host;

    char errorText[CURL_ERROR_SIZE] = {};
    bool replied = false;
    std::string refusal; // the server's last word, when it refused
    std::string detail;
    const CURLcode result =
        store(relative, upload, errorText, [&](const FtpSessionWatch& watch, CURLcode code) {
            replied = watch.replied();
            refusal = watch.lastReplyRefused() ? watch.lastReply() : std::string();
            detail = noteSession(watch, code, errorText);
        });
    // A server that does not even greet counts as silent however it ends the connection.
    if (serverSilent(result) || (result != CURLE_OK && !replied)) {
        if (++deadInARow_ >= kDeadServerFiles) {
            givenUp_ = true;
            waiting_ = static_cast<std::uint64_t>(deadInARow_);
        }
    } else {
        deadInARow_ = 0;
    }
    if (upload.cut)
        return failed(source, "the file could not be read whole");
    if (result != CURLE_OK)
        return failed(source, refusal.empty() ? detail : refusal);
    return true;
}

std::string FtpSender::noteSession(const FtpSessionWatch& watch, CURLcode result,
                                   const char* errorText) {
    const std::string detail = curlReason(result, errorText);
    if (watch.loggedIn()) {
        serverTookLogin_ = true;
    } else if (result != CURLE_OK) {
        const char* what = !watch.replied()       ? " not reachable ("
                           : watch.loginRefused() ? " refused the login ("
                                                  : " not usable (";
        beforeLogin_ = "FTP server " + ftpServerText(settings_) + what + detail + ")";
    }
    // Said once per run, with the first occurrence's detail: the next ones name other data
    // connections.
    const TlsFailure failure = tlsFailureOf(result);
    if (failure != TlsFailure::None && tlsFailuresSaid_.insert(static_cast<int>(failure)).second)
        log_.write(failure == TlsFailure::NotTrusted
                       ? "FTP over TLS refused, the server's certificate is not trusted: " + detail
                       : "FTP over TLS failed: " + detail);
    return detail;
}

bool FtpSender::haveHandle() {
    if (!handle_)
        handle_.reset(curl_easy_init());
    return handle_ != nullptr;
}

CURL* FtpSender::prepare(const std::string& url, char* errorText) {
    CURL* h = handle_.get();
    // Nothing of the last transfer carries over but the handle's caches.
    curl_easy_reset(h);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_USERNAME, settings_.user.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, settings_.password.c_str());
    curl_easy_setopt(h, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "toFTP");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // Every transfer travels over a connection of its own.
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connectTimeout_);
    curl_easy_setopt(h, CURLOPT_FTP_RESPONSE_TIMEOUT, stallTimeout_);
    curl_easy_setopt(h, CURLOPT_ACCEPTTIMEOUT_MS, connectTimeout_ * 1000);
    // A server that takes less than this for the stall limit counts as stalled: a trickle
    // would hold the run for days.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kLowestSpeed);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallTimeout_);
    // A proxy of the system's settings is only a tunnel: through an HTTP proxy libcurl would
    // otherwise speak HTTP to it, with the password and the files in clear.
    curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
    applyCaTrust(h, settings_.trust);
    curl_easy_setopt(h, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    return h;
}

std::string FtpSender::prepareStore(const std::string& relative, Upload& upload, char* errorText) {
    // The bytes go to a temporary name beside the file's own, renamed over it once the server
    // has them all: a torn upload leaves the previous copy in place.
    const auto cut = relative.rfind('/');
    const std::string folderPart = cut == std::string::npos ? "" : relative.substr(0, cut);
    rename_.name = cut == std::string::npos ? relative : relative.substr(cut + 1);
    rename_.temporary = temporaryUploadName(rename_.name);
    rename_.folder = "backup";
    for (std::size_t pos = 0; pos < folderPart.size();) {
        const auto end = std::min(folderPart.find('/', pos), folderPart.size());
        if (end > pos)
            rename_.folder += "/" + folderPart.substr(pos, end - pos);
        pos = end + 1;
    }
    rename_.url = ftpUrl(settings_, folderPart + "/" + rename_.temporary);
    CURL* h = prepare(rename_.url, errorText);
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_FTP_CREATE_MISSING_DIRS,
                     static_cast<long>(CURLFTP_CREATE_DIR_RETRY));
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &readBlock);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    // Every connection ends within its transfer (none is kept for reuse).
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, &closeSocket);
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, &upload);
    return folderOf(ftpUrl(settings_, relative));
}

std::optional<std::string> FtpSender::fetchIdentity() {
    if (settings_.host.empty() || givenUp_ || !haveHandle())
        return std::nullopt;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* h = prepare(ftpUrl(settings_, kDestinationIdentityFile), errorText);
    Download download;
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &download);
    FtpSessionWatch watch(h);
    const CURLcode result = transfer(
        [&](long tlsLevel, bool passive) {
            curl_easy_setopt(h, CURLOPT_USE_SSL, tlsLevel);
            curl_easy_setopt(h, CURLOPT_FTPPORT, passive ? nullptr : "-");
            return curl_easy_perform(h);
        },
        errorText, watch);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    // A server that can not be used tells so even when no file waits for it.
    if (!download.tooLong)
        noteSession(watch, result, errorText);
    if (result == CURLE_OK)
        return download.text;
    // What stands there is too long for an id, or the server, once logged in, has no such
    // file or folder for us (or will not hand it out): no id of ours.
    if (download.tooLong || (watch.loggedIn() && (result == CURLE_REMOTE_FILE_NOT_FOUND ||
                                                  result == CURLE_REMOTE_ACCESS_DENIED)))
        return std::string();
    return std::nullopt;
}

bool FtpSender::storeIdentity(const std::string& id) {
    if (settings_.host.empty() || givenUp_ || !haveHandle())
        return false;
    const std::string text = id + "\n";
    Upload upload;
    upload.text = text;
    upload.length = static_cast<std::int64_t>(text.size()) + 1;
    char errorText[CURL_ERROR_SIZE] = {};
    return store(kDestinationIdentityFile, upload, errorText, {}) == CURLE_OK;
}

CURLcode FtpSender::store(const std::string& relative, Upload& upload, char* errorText,
                          const Seen& seen) {
    const std::string folder = prepareStore(relative, upload, errorText);
    CURL* h = handle_.get();
    FtpSessionWatch watch(h);
    const CURLcode result = transfer(
        [&](long tlsLevel, bool passive) {
            return perform(folder, tlsLevel, passive, upload.started, watch);
        },
        errorText, watch);
    curl_easy_setopt(h, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    if (seen)
        seen(watch, result);
    return result;
}

bool FtpSender::failed(const std::string& source, const std::string& reason) {
    log_.write("Sending to FTP failed: " + source + " (" + reason + ")");
    return false;
}

void FtpSender::finish() {
    if (givenUp_)
        log_.write("FTP server " + ftpServerText(settings_) + " does not answer, " +
                   std::to_string(waiting_) + " files wait for the next run");
}

std::optional<std::string> FtpSender::serverUnusable() const {
    if (!serverTookLogin_)
        return beforeLogin_;
    // A server that took the login and then stopped answering took nothing either: the run
    // counts as delivered only when a file arrived.
    if (givenUp_)
        return "FTP server " + ftpServerText(settings_) + " does not answer";
    return std::nullopt;
}

CURLcode FtpSender::transfer(const Attempt& attempt, char* errorText, FtpSessionWatch& watch) {
    if (serverWithoutTls_)
        return attempt(CURLUSESSL_NONE, settings_.passive);
    // TLS is asked for the login and every data connection: once the server has taken it, a
    // file whose data connection can not be encrypted is not sent. Where this libcurl can not
    // encrypt active-mode data connections, the data connections are passive.
    const bool passive = settings_.passive || activeDataTlsBroken(runtimeLibcurlVersion());
    const CURLcode result = attempt(CURLUSESSL_ALL, passive);
    const unsigned port = ftpPort(settings_);
    if (watch.tlsAccepted()) {
        tlsThisRun_ = true;
        // Remembered once the handshake has worked (the server then answered the login over
        // TLS): a forged reply to AUTH alone locks no plain server out.
        if ((watch.loggedIn() || watch.loginRefused()) &&
            !tlsMemory_.remember(settings_.host, port, settings_.user))
            sayOnce("FTP servers that offered TLS can not be remembered in " +
                    tlsMemory_.file().string());
        if (passive != settings_.passive && watch.loggedIn())
            sayOnce("FTP over TLS uses passive mode: libcurl " + runtimeLibcurlVersionText() +
                    " can not encrypt active-mode data connections");
        return result;
    }
    if (result != CURLE_USE_SSL_FAILED || !watch.tlsRefused())
        return result;
    // The server offers no TLS. One that did before may be someone in its place: it gets
    // neither the password nor the file.
    const std::string server = ftpServerText(settings_);
    if (tlsThisRun_ || tlsMemory_.offered(settings_.host, port, settings_.user)) {
        sayOnce("FTP server " + server + " no longer offers TLS, nothing is sent: it did before");
        return result;
    }
    // Plain FTP for this file and the rest of the run.
    sayOnce("FTP to " + server + " is not encrypted: the password and the files go in clear");
    serverWithoutTls_ = true;
    errorText[0] = '\0';
    watch.forgetReply();
    return attempt(CURLUSESSL_NONE, settings_.passive);
}

CURLcode FtpSender::perform(const std::string& folder, long tlsLevel, bool passive,
                            const bool& started, const FtpSessionWatch& watch) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_USE_SSL, tlsLevel);
    curl_easy_setopt(h, CURLOPT_FTPPORT, passive ? nullptr : "-");
    // A folder stored into before is named in the STOR itself; any other is walked from the
    // login folder, creating what is missing. A STOR refused before any byte left (the folder
    // went away meanwhile) is tried once more the walking way.
    bool known = knownFolders_.contains(folder);
    CURLcode result = CURLE_OK;
    for (;;) {
        curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD,
                         static_cast<long>(known ? CURLFTPMETHOD_NOCWD : CURLFTPMETHOD_MULTICWD));
        // After a walk the session stands in the file's folder; without one, in the login
        // folder.
        const std::string prefix = known ? rename_.folder + "/" : std::string();
        const std::string from = "RNFR " + prefix + rename_.temporary;
        const std::string to = "RNTO " + prefix + rename_.name;
        std::unique_ptr<curl_slist, SlistDeleter> commands(
            curl_slist_append(curl_slist_append(nullptr, from.c_str()), to.c_str()));
        curl_easy_setopt(h, CURLOPT_POSTQUOTE, commands.get());
        result = curl_easy_perform(h);
        curl_easy_setopt(h, CURLOPT_POSTQUOTE, nullptr);
        if (!known || result != CURLE_UPLOAD_FAILED || started)
            break;
        knownFolders_.erase(folder);
        known = false;
    }
    if (result == CURLE_QUOTE_ERROR && watch.renameRefused())
        result = replaceExisting();
    if (result == CURLE_OK)
        knownFolders_.insert(folder);
    return result;
}

CURLcode FtpSender::replaceExisting() {
    // Some servers refuse to rename onto an existing name: the old copy goes first, while the
    // whole new one waits under its temporary name. Commands only, from the login folder.
    CURL* h = handle_.get();
    const std::string prefix = rename_.folder + "/";
    const std::string remove = "*DELE " + prefix + rename_.name;
    const std::string from = "RNFR " + prefix + rename_.temporary;
    const std::string to = "RNTO " + prefix + rename_.name;
    std::unique_ptr<curl_slist, SlistDeleter> commands(curl_slist_append(
        curl_slist_append(curl_slist_append(nullptr, remove.c_str()), from.c_str()), to.c_str()));
    const std::string login = "ftp://" + ftpServerText(settings_) + "/";
    curl_easy_setopt(h, CURLOPT_URL, login.c_str());
    curl_easy_setopt(h, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(h, CURLOPT_QUOTE, commands.get());
    const CURLcode result = curl_easy_perform(h);
    curl_easy_setopt(h, CURLOPT_QUOTE, nullptr);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_URL, rename_.url.c_str());
    return result;
}

void FtpSender::sayOnce(const std::string& line) {
    if (said_.insert(line).second)
        log_.write(line);
}

} // namespace kestrun
