#include "kbm/marker.h"

#include "kbm/paths.h"
#include "platform/file_status.h"
#include "platform/folder_handle.h"
#include "platform/regular_file.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

// A pending marker is told by its size alone, never by what it holds: a size set on the file
// reaches the disk with the rest of its status, while written bytes may come back from a
// power cut as an empty file (allocation is delayed), which would read as a finished copy.
// Markers that hold "q" or "qq" read as they always did.
constexpr std::int64_t kQueuedSize = 1; // queued by a scan, its copy not yet made
constexpr std::int64_t kRetrySize = 2;  // copied while its source changed

std::string_view folderOf(const std::string& marker) {
    const auto slash = marker.rfind('/');
    return slash == std::string::npos ? std::string_view()
                                      : std::string_view(marker).substr(0, slash);
}

// Opens the marker for writing, what it holds kept; a missing one is made new (never through
// a link), anything else in its place only when it is a regular file and no link.
FileDescriptor openMarker(const std::string& marker, bool present) {
    if (!present)
        if (FileDescriptor created = createNewRegularFile(fs::path(marker), 0600))
            return created;
    return openRegularForUpdate(fs::path(marker), 0600);
}

// Gives an open marker its size, stamped with the present when asked. A marker that cannot be
// given it goes: a missing marker queues its file as new, an empty one would read as settled.
bool resizeMarker(const FileDescriptor& out, const std::string& marker, std::int64_t size,
                  bool stamp) {
    if (setFileSize(out, size) && (!stamp || touchModifiedTime(out)))
        return true;
    dropMarker(marker);
    return false;
}

// Removes a folder of markers with everything in it; a link in it goes as a link.
void removeMarkerTree(const FolderHandle& parent, const std::string& name) {
    if (const FolderHandle folder = parent.child(name))
        for (const std::string& entry : folder.names().value_or(std::vector<std::string>())) {
            const auto status = folder.entryStatus(entry);
            if (status && status->isFolder)
                removeMarkerTree(folder, entry);
            else
                folder.removeFile(entry);
        }
    parent.removeFolder(name);
}

// Makes the marker's place below the marker folder: each folder along it, a file or link in
// the way of one replaced; a folder (or anything but a regular file) in the marker's own place
// removed. Nothing is reached through a link.
void clearMarkerPlace(const std::string& root, const std::string& marker) {
    if (root.empty() || !marker.starts_with(root)) {
        createFoldersAlong(marker);
        return;
    }
    createFoldersAlong(root);
    FolderHandle folder = FolderHandle::open(fs::path(root));
    std::string_view rest = std::string_view(marker).substr(root.size());
    for (auto slash = rest.find('/'); folder && slash != std::string_view::npos;
         slash = rest.find('/')) {
        const std::string name(rest.substr(0, slash));
        rest.remove_prefix(slash + 1);
        if (name.empty())
            continue;
        if (const auto status = folder.entryStatus(name); status && !status->isFolder)
            folder.removeFile(name);
        folder = folder.childCreating(name, 0700);
    }
    const std::string name(rest);
    if (const auto status = folder.entryStatus(name); status && !status->isRegular) {
        if (status->isFolder)
            removeMarkerTree(folder, name);
        else
            folder.removeFile(name);
    }
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
    result.unfinished = !status->isFolder && status->size == kQueuedSize;
    return result;
}

bool MarkerWriter::queue(const std::string& marker, const MarkerState& state, bool pending) {
    enter(folderOf(marker));
    const bool makeFolder = known_ == Folder::Missing || known_ == Folder::Unknown;
    if (makeFolder)
        createFoldersAlong(marker);
    FileDescriptor out = openMarker(marker, state.present);
    if (!out) {
        // The folder may have gone since it was seen (removed during the run), or the source
        // changed between a file and a folder: its place is made again.
        clearMarkerPlace(root_, marker);
        out = openMarker(marker, state.present);
    }
    if (!out) {
        known_ = Folder::Unknown;
        return false;
    }
    if (known_ != Folder::Own)
        known_ = known_ == Folder::Missing ? Folder::Own : Folder::Present;
    // A marker refreshed for a file that is not queued is empty (settled) and stamped too.
    return resizeMarker(out, marker, pending ? kQueuedSize : 0, true);
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
    if (ec)
        return;
    // Stamped with the present, the marker would hide a change made since the file was queued.
    fs::last_write_time(file, queued, ec);
    if (ec)
        dropMarker(marker);
}

void keepMarkerPending(const std::string& marker) {
    if (const FileDescriptor out = openRegularForUpdate(fs::path(marker), 0600))
        resizeMarker(out, marker, kRetrySize, false);
    else
        dropMarker(marker);
}

void dropMarker(const std::string& marker) {
    std::error_code ec;
    fs::remove(fs::path(marker), ec);
}

} // namespace kestrun
