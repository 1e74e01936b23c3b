#include "kbm/marker.h"

#include "kbm/paths.h"
#include "platform/file_status.h"
#include "platform/regular_file.h"

#include <filesystem>
#include <string_view>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kQueuedBytes = "q"; // queued by a scan, its copy not yet made
constexpr std::string_view kRetryBytes = "qq"; // copied while its source changed

std::string_view folderOf(const std::string& marker) {
    const auto slash = marker.rfind('/');
    return slash == std::string::npos ? std::string_view()
                                      : std::string_view(marker).substr(0, slash);
}

// Opens the marker for writing from its start; a missing one is made new (never through a
// link), anything else in its place only when it is a regular file and no link.
FileDescriptor openMarker(const std::string& marker, bool present) {
    if (!present)
        if (FileDescriptor created = createNewRegularFile(fs::path(marker), 0600))
            return created;
    return openRegularForRewrite(fs::path(marker), 0600);
}

} // namespace

void MarkerWriter::enter(std::string_view folder) {
    if (folder == folder_)
        return;
    folder_.assign(folder);
    known_ = Folder::Unknown;
}

MarkerState MarkerWriter::state(const std::string& marker) {
    enter(folderOf(marker));
    if (known_ == Folder::Own)
        return {};
    const auto status = fileStatus(marker);
    if (!status) {
        // Only the first missing marker of a folder asks whether the folder is there at all.
        if (known_ == Folder::Unknown)
            known_ = fileStatus(folder_) ? Folder::Present : Folder::Missing;
        return {};
    }
    known_ = Folder::Present;
    MarkerState result;
    result.present = true;
    result.anyTime = status->modified();
    if (!status->isFolder && status->size == 0)
        result.settledTime = status->modified();
    result.unfinished =
        !status->isFolder && status->size == static_cast<std::int64_t>(kQueuedBytes.size());
    return result;
}

bool MarkerWriter::queue(const std::string& marker, const MarkerState& state, bool pending) {
    enter(folderOf(marker));
    const bool makeFolder = known_ == Folder::Missing || known_ == Folder::Unknown;
    if (makeFolder)
        createFoldersAlong(marker);
    FileDescriptor out = openMarker(marker, state.present);
    if (!out && !makeFolder) {
        // The folder may have gone since it was seen (removed during the run): made again.
        createFoldersAlong(marker);
        out = openMarker(marker, state.present);
    }
    if (!out) {
        known_ = Folder::Unknown;
        return false;
    }
    if (known_ != Folder::Own)
        known_ = known_ == Folder::Missing ? Folder::Own : Folder::Present;
    // The byte written stamps the marker with the present; an emptied or new one is stamped
    // here.
    if (pending)
        return writeAll(out, kQueuedBytes);
    touchModifiedTime(out);
    return true;
}

void settleMarker(const std::string& marker) {
    const fs::path file(marker);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec) || fs::file_size(file, ec) == 0 || ec)
        return;
    const auto queued = fs::last_write_time(file, ec);
    if (ec)
        return;
    fs::resize_file(file, 0, ec);
    if (!ec)
        fs::last_write_time(file, queued, ec);
}

void keepMarkerPending(const std::string& marker) {
    if (const FileDescriptor out = openRegularForRewrite(fs::path(marker), 0600))
        writeAll(out, kRetryBytes);
}

void dropMarker(const std::string& marker) {
    std::error_code ec;
    fs::remove(fs::path(marker), ec);
}

} // namespace kestrun
