#pragma once

#include "kbm/backup_log.h"
#include "kbm/file_sender.h"
#include "kbm/ftp_settings.h"
#include "kbm/ftp_tls.h"
#include "kbm/ftp_tls_memory.h"
#include "kbm/run_progress.h"
#include "transfer/ca_trust.h"

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace kestrun {

// Sends each file over a connection of its own below the remote folder "backup", creating the
// missing remote folders, in binary mode and blocks of at most 1024 bytes. Outcomes are log
// lines: "Can not find source file: " and "Sending to FTP failed: <file> (<why>)", the why
// being the server's refusal when it had the last word, else libcurl's reason. One transfer handle
// serves all files; a remote folder that this sender has already stored into is addressed in
// one STOR, any other is walked and created folder by folder.
// Each session asks for TLS for the login and every data connection; a server that offers it
// must show a trusted certificate, else nothing is sent ("FTP over TLS refused, ..." once per
// run). Once the server has taken TLS, a file whose data connection can not be encrypted is a
// failed send, never one in clear. A server that offers no TLS gets plain FTP, which is said
// once per run, unless it offered TLS before (FtpTlsMemory): then it gets no password and no
// file, which is said once per run too. Once a file has been handed over whole, the server is
// given up to 2 s to end each connection before it is closed (see closeConnection). After
// kDeadServerFiles files in a row that could not connect or stalled, the run sends nothing
// more: the rest fail at once, without a line each, and finish() tells how many wait for the
// next run.
class FtpSender final : public FileSender {
public:
    FtpSender(FtpSettings settings, BackupLog& log, RunProgress& progress);

    ~FtpSender() override;

    bool send(const std::string& source, const std::string& relative) override;
    // "FTP server <host:port> not reachable (<libcurl's reason>)", "... refused the login
    // (...)" or "... not usable (...)" (the server answered, but no login came about, for
    // example over TLS it can not be trusted for), from the last file tried.
    std::optional<std::string> serverUnusable() const override;

    // "FTP server <host:port> does not answer, <n> files wait for the next run" when the
    // sending was given up.
    void finish() override;

    // The id file below "backup", fetched and stored as a file is sent, under the same rules
    // of TLS, but without a log line of its own: what they fail of, the files' lines tell.
    std::optional<std::string> fetchIdentity() override;
    bool storeIdentity(const std::string& id) override;

    // Seconds a connection may take to open, and a transfer may stall, before it fails.
    void setTimeouts(long connectSeconds, long stallSeconds);

    // Files in a row that could not even connect, or stalled, after which the run sends
    // nothing more to the server: the rest wait for the next run.
    static constexpr int kDeadServerFiles = 3;

    struct Upload; // what one upload sends, seen by libcurl's read callback

private:
    struct CurlDeleter {
        void operator()(CURL* handle) const;
    };
    struct SlistDeleter {
        void operator()(curl_slist* list) const;
    };
    std::unique_ptr<CURL, CurlDeleter> handle_;
    bool haveHandle();
    // Sets the handle up for a transfer of the URL: every option but the direction's.
    CURL* prepare(const std::string& url, char* errorText);
    // Sets the handle up to store the upload at `relative` below "backup", under its temporary
    // name; the URL of its remote folder.
    std::string prepareStore(const std::string& relative, Upload& upload, char* errorText);
    // Stores the upload at `relative` below "backup"; `seen` (may be empty) is shown what the
    // session showed of the server, and the result.
    using Seen = std::function<void(const FtpSessionWatch&, CURLcode)>;
    CURLcode store(const std::string& relative, Upload& upload, char* errorText, const Seen& seen);
    // One attempt of a transfer with a TLS level (CURLUSESSL_*) and a data connection mode.
    using Attempt = std::function<CURLcode(long tlsLevel, bool passive)>;
    // One transfer over TLS, or in plain FTP once the server turned out to offer none.
    CURLcode transfer(const Attempt& attempt, char* errorText, FtpSessionWatch& watch);
    // One upload, repeated the walking way when a known folder is gone; the file is stored
    // under its temporary name and renamed over its own once the server has confirmed it.
    // `started`: the file's first byte was read.
    CURLcode perform(const std::string& folder, long tlsLevel, bool passive, const bool& started,
                     const FtpSessionWatch& watch);
    // After a refused RNTO: the file's old copy deleted, then the rename once more.
    CURLcode replaceExisting();
    // Notes what a session showed of the server (its login, its TLS failures, said once per
    // kind); libcurl's reason of the result.
    std::string noteSession(const FtpSessionWatch& watch, CURLcode result, const char* errorText);
    // "Sending to FTP failed: <source> (<reason>)"; false.
    bool failed(const std::string& source, const std::string& reason);
    // Logs a line once per run.
    void sayOnce(const std::string& line);

    // The rename that puts an uploaded file in place once the server has it whole: its folder
    // below the login folder ("backup/..."), its temporary and its own name.
    struct Rename {
        std::string folder, temporary, name;
        std::string url; // where the upload is stored
    };
    Rename rename_;

    std::set<std::string> knownFolders_; // remote folder URLs that exist
    std::set<std::string> said_;
    bool serverWithoutTls_ = false; // the server offered no TLS this run
    bool tlsThisRun_ = false;       // it took TLS in a session of this run
    std::set<int> tlsFailuresSaid_; // the kinds of TLS failure said this run
    FtpTlsMemory tlsMemory_;
    bool serverTookLogin_ = false;           // a session of this run logged in
    std::optional<std::string> beforeLogin_; // why the last file tried failed before its login
    FtpSettings settings_;
    BackupLog& log_;
    RunProgress& progress_;
    int deadInARow_ = 0;        // files in a row that could not connect or stalled
    bool givenUp_ = false;      // the server does not answer: nothing more is sent this run
    std::uint64_t waiting_ = 0; // files left for the next run since then, those included
    long connectTimeout_ = 20;
    long stallTimeout_ = 60;
};

} // namespace kestrun
