#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>

namespace kestrun {

// libcurl 7.87.0 up to 7.88.1 (Debian 12's) never makes the TLS handshake on an active-mode
// data connection: it accepts the server's connection and then waits until the transfer's
// limit runs out (fixed in libcurl 8.0.0). With those, sessions over TLS use passive mode.
bool activeDataTlsBroken(unsigned libcurlVersion);

// The version number of the libcurl the program runs with (0xXXYYZZ) and its text.
unsigned runtimeLibcurlVersion();
std::string runtimeLibcurlVersionText();

// Whether the server took TLS (AUTH) in a session, whether it answered at all and what it said
// to the login: watches the commands and replies of the handle's transfers through libcurl's
// debug callback.
class FtpSessionWatch {
public:
    explicit FtpSessionWatch(CURL* handle);
    ~FtpSessionWatch();
    FtpSessionWatch(const FtpSessionWatch&) = delete;
    FtpSessionWatch& operator=(const FtpSessionWatch&) = delete;

    // AUTH TLS (or AUTH SSL) was accepted; refused: every AUTH was answered with a refusal.
    bool tlsAccepted() const { return tlsAccepted_; }
    bool tlsRefused() const { return tlsRefused_ && !tlsAccepted_; }
    bool replied() const { return replied_; }
    bool loggedIn() const { return loggedIn_; }
    bool loginRefused() const { return loginRefused_; }
    // The server's last reply (its first line, without control characters, cut to a length a
    // log line can take), and whether it was a refusal (4xx or 5xx).
    const std::string& lastReply() const { return lastReply_; }
    bool lastReplyRefused() const {
        return !lastReply_.empty() && (lastReply_[0] == '4' || lastReply_[0] == '5');
    }
    // The server refused an RNTO: the renamed file stays under its old name.
    bool renameRefused() const { return renameRefused_; }
    // A new attempt: what the server said before is no longer the reason of what follows.
    void forgetReply() { lastReply_.clear(); }

private:
    static int onDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user);
    void sent(std::string_view line);
    void received(std::string_view line);

    CURL* handle_;
    std::string lastCommand_;
    std::string lastReply_;
    bool tlsAccepted_ = false;
    bool tlsRefused_ = false;
    bool replied_ = false;
    bool loggedIn_ = false;
    bool loginRefused_ = false;
    bool renameRefused_ = false;
};

} // namespace kestrun
