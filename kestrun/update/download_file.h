#pragma once

#include "platform/regular_file.h"

#include <filesystem>
#include <string_view>

namespace kestrun {

// A download on its way to a file: the bytes go to a temporary file beside the target, which
// replaces the target only when it is committed. An older file of the target's name stays
// untouched by a download that fails or cannot be stored.
class DownloadFile {
public:
    explicit DownloadFile(std::filesystem::path target);
    ~DownloadFile();
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // Stores a piece; once a write fails (or the temporary file could not be made) nothing
    // more is stored, the temporary file is gone and the download can no longer be committed.
    void write(std::string_view piece);
    // Moves the complete download into the target's place, readable and executable (0755, in
    // a folder its group shares 0775 and the folder's group);
    // false when it was not stored whole or could not be moved.
    bool commit();

private:
    void discard();

    std::filesystem::path target_;
    std::filesystem::path temp_;
    FileDescriptor file_;
    bool tempExists_ = false;
};

// Removes the temporary files of downloads that never ended (a Kestrun that was killed
// meanwhile) from a folder: only the running user's own regular files of the names downloads
// use, nothing else.
void removeLeftoverDownloads(const std::filesystem::path& folder);

} // namespace kestrun
