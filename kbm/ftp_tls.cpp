#include "kbm/ftp_tls.h"

namespace kestrun {

bool activeDataTlsBroken(unsigned libcurlVersion) {
    return libcurlVersion >= 0x075700 && libcurlVersion < 0x080000;
}

unsigned runtimeLibcurlVersion() {
    return curl_version_info(CURLVERSION_NOW)->version_num;
}

std::string runtimeLibcurlVersionText() {
    return curl_version_info(CURLVERSION_NOW)->version;
}

FtpSessionWatch::FtpSessionWatch(CURL* handle) : handle_(handle) {
    curl_easy_setopt(handle_, CURLOPT_DEBUGFUNCTION, &FtpSessionWatch::onDebug);
    curl_easy_setopt(handle_, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(handle_, CURLOPT_VERBOSE, 1L);
}

FtpSessionWatch::~FtpSessionWatch() {
    curl_easy_setopt(handle_, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(handle_, CURLOPT_DEBUGFUNCTION, nullptr);
    curl_easy_setopt(handle_, CURLOPT_DEBUGDATA, nullptr);
}

int FtpSessionWatch::onDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    auto& watch = *static_cast<FtpSessionWatch*>(user);
    if (type == CURLINFO_HEADER_OUT)
        watch.sent(std::string_view(data, size));
    else if (type == CURLINFO_HEADER_IN)
        watch.received(std::string_view(data, size));
    return 0;
}

void FtpSessionWatch::sent(std::string_view line) {
    lastCommand_ = line.substr(0, line.find_first_of("\r\n"));
    // A reply to an earlier command says nothing of this one; the goodbye after a failure
    // leaves the reason of the failure.
    if (lastCommand_ != "QUIT")
        lastReply_.clear();
}

void FtpSessionWatch::received(std::string_view line) {
    // A final reply: three digits and a blank (continued replies have a "-").
    if (line.size() < 4 || line[3] != ' ')
        return;
    replied_ = true;
    if (lastCommand_ == "QUIT")
        return;
    constexpr std::size_t kReplyLimit = 200;
    line = line.substr(0, line.find_first_of("\r\n"));
    lastReply_.clear();
    for (const char c : line.substr(0, kReplyLimit))
        lastReply_ += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    if (line.size() > kReplyLimit)
        lastReply_ += "...";
    // USER may be answered by 230 already; PASS always ends the login.
    if (lastCommand_.starts_with("USER ") || lastCommand_.starts_with("PASS ")) {
        if (line[0] == '2')
            loggedIn_ = true;
        else if (line[0] == '4' || line[0] == '5')
            loginRefused_ = true;
    }
    if (lastCommand_.starts_with("RNTO ") && (line[0] == '4' || line[0] == '5'))
        renameRefused_ = true;
    if (lastCommand_.starts_with("AUTH ")) {
        // libcurl goes into TLS on 234 or 334 alone.
        if (line.starts_with("234") || line.starts_with("334"))
            tlsAccepted_ = true;
        else if (line[0] == '4' || line[0] == '5')
            tlsRefused_ = true;
    }
    lastCommand_.clear();
}

} // namespace kestrun
