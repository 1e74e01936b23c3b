#include "kbm/marker.h"

#include "kbm/paths.h"
#include "platform/file_status.h"
#include "platform/folder_handle.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"

#include <algorithm>
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
    const auto slash = lastPathSeparator(marker);
    return slash == std::string::npos ? std::string_view()
                                      : std::string_view(marker).substr(0, slash);
}

std::string nameOf(const std::string& marker) {
    const auto slash = lastPathSeparator(marker);
    return slash == std::string::npos ? marker : marker.substr(slash + 1);
}

// Opens the marker for writing, what it holds kept; a missing one is made new, anything else in
// its place only when it is a regular file, never through a link.
FileDescriptor openMarker(const FolderHandle& folder, const std::string& name, bool present) {
    if (!folder)
        return {};
    if (!present)
        if (FileDescriptor created = folder.createFile(name, 0600))
            return created;
    return folder.openFileForUpdate(name, 0600);
}

// Gives an open marker its size, stamped with the present when asked. A marker that cannot be
// given it must go: a missing marker queues its file as new, an empty one would read as settled.
bool resizeMarker(const FileDescriptor& out, std::int64_t size, bool stamp) {
    return setFileSize(out, size) && (!stamp || touchModifiedTime(out));
}

// Removes a folder of markers with everything in it; a link in it goes as a link.
void removeMarkerTree(const FolderHandle& parent, const std::string& name) {
    if (const FolderHandle folder = parent.child(name))
        for (const std::string& entry : folder.names().value_or(std::vector<std::string>())) {
            const auto status = folder.entryStatus(entry);
            if (status && status->isFolder && !status->isLink)
                removeMarkerTree(folder, entry);
            else
                folder.removeFile(entry);
        }
    parent.removeFolder(name);
}

// Whatever stands in a marker's own place and is no regular file goes: a folder of markers
// with what it holds, a link as a link.
void clearMarkerPlace(const FolderHandle& folder, const std::string& name) {
    const auto status = folder.entryStatus(name);
    if (!status || (status->isRegular && !status->isLink))
        return;
    if (status->isFolder && !status->isLink)
        removeMarkerTree(folder, name);
    else
        folder.removeFile(name);
}

// The open folder of a marker. Below the marker folder (`root`, ending in a separator) it is
// reached from there, never through a link; with `make` each missing folder along it is made
// (private) and a file or link in the way of one goes. Without a marker folder, or outside it, the
// folder is made and opened as named.
FolderHandle openMarkerFolder(const std::string& root, std::string_view folder, bool make) {
    const std::string path(folder);
    if (root.empty() || !(path + pathSeparator()).starts_with(root)) {
        if (make)
            createFoldersAlong(path + pathSeparator());
        return FolderHandle::open(fs::path(path.empty() ? std::string(1, pathSeparator()) : path));
    }
    if (make)
        createFoldersAlong(root);
    FolderHandle open = FolderHandle::open(fs::path(root));
    std::string_view rest = folder.substr(std::min(folder.size(), root.size()));
    while (open && !rest.empty()) {
        const auto slash = nextPathSeparator(rest);
        const std::string name(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (name.empty())
            continue;
        if (!make) {
            open = open.child(name);
            continue;
        }
        if (const auto status = open.entryStatus(name);
            status && (!status->isFolder || status->isLink))
            open.removeFile(name);
        open = open.childCreating(name, 0700);
    }
    return open;
}

} // namespace

void MarkerWriter::enter(std::string_view folder) {
    if (folder == folder_)
        return;
    folder_.assign(folder);
    known_ = Folder::Unknown;
    open_ = {};
}

MarkerState MarkerWriter::state(const std::string& marker) {
    enter(folderOf(marker));
    if (known_ == Folder::Own)
        return {};
    // Only the first marker of a folder asks whether the folder is there at all.
    if (known_ == Folder::Unknown) {
        open_ = openMarkerFolder(root_, folder_, false);
        known_ = open_ ? Folder::Present : Folder::Missing;
    }
    if (known_ == Folder::Missing)
        return {};
    const auto status = open_.entryStatus(nameOf(marker));
    if (!status)
        return {};
    MarkerState result;
    result.present = true;
    result.anyTime = status->modified();
    const bool file = status->isRegular && !status->isLink;
    if (file && status->size == 0)
        result.settledTime = status->modified();
    result.unfinished = file && status->size == kQueuedSize;
    return result;
}

bool MarkerWriter::queue(const std::string& marker, const MarkerState& state, bool pending) {
    enter(folderOf(marker));
    const std::string name = nameOf(marker);
    if (known_ == Folder::Missing || known_ == Folder::Unknown || !open_)
        open_ = openMarkerFolder(root_, folder_, true);
    FileDescriptor out = openMarker(open_, name, state.present);
    if (!out) {
        // The folder may have gone since it was seen (removed during the run), or the source
        // changed between a file and a folder: its place is made again.
        open_ = openMarkerFolder(root_, folder_, true);
        if (open_)
            clearMarkerPlace(open_, name);
        out = openMarker(open_, name, state.present);
    }
    if (!out) {
        known_ = Folder::Unknown;
        open_ = {};
        return false;
    }
    if (known_ != Folder::Own)
        known_ = known_ == Folder::Missing ? Folder::Own : Folder::Present;
    // A marker refreshed for a file that is not queued is empty (settled) and stamped too.
    if (resizeMarker(out, pending ? kQueuedSize : 0, true))
        return true;
    open_.removeFile(name);
    return false;
}

void settleMarker(const std::string& marker, const std::string& markerFolder) {
    const FolderHandle folder = openMarkerFolder(markerFolder, folderOf(marker), false);
    const std::string name = nameOf(marker);
    const auto status = folder.entryStatus(name);
    if (!status || !status->isRegular || status->isLink || status->size == 0)
        return;
    const FileDescriptor out = folder.openFileForUpdate(name, 0600);
    if (!out || !setFileSize(out, 0))
        return;
    // Stamped with the present, the marker would hide a change made since the file was queued.
    if (!setModifiedTime(out, status->modifiedSecond, status->modifiedNanosecond))
        folder.removeFile(name);
}

void keepMarkerPending(const std::string& marker, const std::string& markerFolder) {
    const FolderHandle folder = openMarkerFolder(markerFolder, folderOf(marker), false);
    const FileDescriptor out = folder.openFileForUpdate(nameOf(marker), 0600);
    if (!out || !resizeMarker(out, kRetrySize, false))
        folder.removeFile(nameOf(marker));
}

void dropMarker(const std::string& marker, const std::string& markerFolder) {
    openMarkerFolder(markerFolder, folderOf(marker), false).removeFile(nameOf(marker));
}

} // namespace kestrun
