#pragma once

#include <string>

namespace kestrun {

// Delivers one queued file somewhere other than the destination folder (the FTP server).
class FileSender {
public:
    virtual ~FileSender() = default;
    // source: the full path; relative: its relative path. True when the file arrived; false
    // when it was not sent (a failure, or nowhere to send it).
    virtual bool send(const std::string& source, const std::string& relative) = 0;
};

} // namespace kestrun
