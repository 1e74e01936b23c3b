#pragma once

#include <optional>
#include <string>

namespace kestrun {

// Delivers one queued file somewhere other than the destination folder (the FTP server).
class FileSender {
public:
    virtual ~FileSender() = default;
    // source: the full path; relative: its relative path. True when the file arrived; false
    // when it was not sent (a failure, or nowhere to send it).
    virtual bool send(const std::string& source, const std::string& relative) = 0;
    // Why nothing could be delivered at all: every file this sender tried to deliver failed
    // before the server took it in (not reached, or the login refused). nullopt when one got
    // that far, or when none was tried.
    virtual std::optional<std::string> serverUnusable() const { return std::nullopt; }
    // After the run's last file: what is left to say about the run's sending.
    virtual void finish() {}

    // kbm's id on the server (backup/.kbm-destination): the text found there, empty when the
    // server has none (or refuses to hand it out), nullopt when the server could not be asked.
    virtual std::optional<std::string> fetchIdentity() { return std::nullopt; }
    // Puts the id there, whole or not at all; false when the server did not take it.
    virtual bool storeIdentity(const std::string& /*id*/) { return false; }
};

} // namespace kestrun
