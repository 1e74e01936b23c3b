#include "kbm/retention.h"

#include "common/backup_list.h"
#include "common/file_util.h"
#include "common/number.h"
#include "common/text_file.h"
#include "kbm/destination_identity.h"
#include "kbm/file_copy.h"
#include "kbm/folder_walk.h"
#include "platform/folder_handle.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kListNameLength = 19; // "YYYYmmdd-HHMMSS.txt"

// A recorded copy is trusted for deletion when it lies below a folder named by its list's own
// stamp: the set of the present destination when the copy lies there, otherwise the last folder
// of that name on its path (the destination may have changed since the run, and may itself be
// named like a stamp). Below that folder there is no "..", so a damaged or edited list cannot
// reach other files; above it the path is taken as it was written (a destination may be
// relative or spelled with ".."). Returns where the set folder's name begins in the copy's
// path, or nothing.
std::optional<std::size_t> setNameAt(const std::string& copy, const std::string& setName,
                                     const std::string& destination) {
    std::optional<std::size_t> at;
    const std::string ownSet = destination + pathSeparator() + setName + pathSeparator();
    if (!destination.empty() && copy.size() >= ownSet.size() &&
        samePath(std::string_view(copy).substr(0, ownSet.size()), ownSet)) {
        at = destination.size() + 1;
    } else {
        std::size_t pos = 0;
        while (pos < copy.size()) {
            const auto end = nextPathSeparator(copy, pos);
            if (end == std::string::npos)
                break; // the file name itself
            if (std::string_view(copy).substr(pos, end - pos) == setName)
                at = pos;
            pos = end + 1;
        }
    }
    if (!at)
        return std::nullopt;
    const std::string_view inSet = std::string_view(copy).substr(*at + setName.size() + 1);
    if (inSet.empty() || isPathSeparator(inSet.back()))
        return std::nullopt;
    std::size_t pos = 0;
    while (pos <= inSet.size()) {
        const auto end = std::min(nextPathSeparator(inSet, pos), inSet.size());
        if (inSet.substr(pos, end - pos) == "..")
            return std::nullopt;
        pos = end + 1;
    }
    return at;
}

// A folder's path made absolute and lexically normal, without a trailing separator.
fs::path normalFolder(const std::string& folder) {
    std::error_code ec;
    fs::path path = fs::absolute(fs::path(folder), ec).lexically_normal();
    if (!path.has_filename() && path.has_relative_path())
        path = path.parent_path();
    return path;
}

// Whether a folder is the destination or lies above it: removing it would take the
// destination away and fail every later copy.
bool holdsDestination(const std::string& folder, const std::string& destination) {
    if (destination.empty())
        return false;
    const fs::path outer = normalFolder(folder);
    const fs::path dest = normalFolder(destination);
    auto o = outer.begin();
    auto d = dest.begin();
    for (; o != outer.end(); ++o, ++d)
        if (d == dest.end() || !samePath(o->string(), d->string()))
            return false;
    return true;
}

// Deletes a listed copy that may be written. The folder that holds the set is reached as its
// path says; from the set folder down no link is followed, so a link planted below the
// destination never leads the deletion to another file.
bool deleteCopy(const std::string& copy, std::size_t setNameAt) {
    std::vector<std::string> parts = pathComponents(std::string_view(copy).substr(setNameAt));
    if (parts.size() < 2)
        return false;
    const std::string name = parts.back();
    parts.pop_back();
    const std::string above = copy.substr(0, setNameAt);
    FolderHandle folder = FolderHandle::open(fs::path(above.empty() ? "." : above));
    for (const std::string& part : parts)
        folder = folder.child(part);
    const auto status = folder.entryStatus(name);
    // A file without any write permission bit is read-only, whoever runs the program. The
    // destination's own mark is never a copy.
    if (name == kDestinationIdentityFile || !status || !status->isRegular ||
        (status->permissions & 0222) == 0)
        return false;
    return folder.removeFile(name);
}

// Whether any file is left below a folder (links are not followed and count as files; a
// leftover temporary file of an interrupted copy does not count).
bool holdsAnyFile(const FolderHandle& folder) {
    const auto names = folder.names();
    if (!names)
        return true; // what cannot be seen may hold files
    for (const std::string& name : *names) {
        const auto status = folder.entryStatus(name);
        if (!status)
            return true;
        if (status->isFolder) {
            const FolderHandle sub = folder.child(name);
            if (!sub || holdsAnyFile(sub))
                return true;
        } else if (!isCopyTemporaryName(name)) {
            return true;
        }
    }
    return false;
}

// Removes the folders below a folder and the leftover temporary files in them; anything else
// (a file that arrived meanwhile) stays, and so does its folder.
void removeEmptiedTree(const FolderHandle& folder) {
    const auto names = folder.names();
    if (!names)
        return;
    for (const std::string& name : *names) {
        const auto status = folder.entryStatus(name);
        if (!status)
            continue;
        if (status->isFolder) {
            removeEmptiedTree(folder.child(name));
            folder.removeFolder(name);
        } else if (isCopyTemporaryName(name)) {
            folder.removeFile(name);
        }
    }
}

// Removes a set folder that holds no file. A set folder that is a link goes as a link, its
// target untouched. The destination, or a folder above it, is never removed.
void removeSetFolder(const std::string& setFolder, const std::string& destination) {
    if (holdsDestination(setFolder, destination))
        return;
    const std::string path = withoutTrailingSeparators(setFolder);
    const auto slash = lastPathSeparator(path);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return;
    const std::string above = slash == std::string::npos     ? "."
                              : slash < pathRootLength(path) ? path.substr(0, slash + 1)
                                                             : path.substr(0, slash);
    const FolderHandle parent = FolderHandle::open(fs::path(above));
    const auto status = parent.entryStatus(name);
    if (!status)
        return;
    if (status->isLink) {
        parent.removeFile(name);
        return;
    }
    const FolderHandle set = parent.child(name);
    if (!set || holdsAnyFile(set))
        return;
    removeEmptiedTree(set);
    parent.removeFolder(name);
}

} // namespace

std::optional<LocalDateTime> autodeleteListStamp(const std::string& listPath) {
    if (listPath.size() < kListNameLength)
        return std::nullopt;
    const std::string_view name =
        std::string_view(listPath).substr(listPath.size() - kListNameLength);
    const auto field = [&](std::size_t from, std::size_t count) {
        return atoiPrefix(name.substr(from, count));
    };
    const LocalDateTime stamp = LocalDateTime::fromFields(field(0, 4), field(4, 2), field(6, 2),
                                                          field(9, 2), field(11, 2), field(13, 2));
    if (!stamp.valid())
        return std::nullopt;
    return stamp;
}

void removeExpiredSets(std::int32_t days, const LocalDateTime& runStamp,
                       const std::string& destination, const std::string& autodeleteFolder,
                       BackupLog& log) {
    // Negative days (a stored value above 2147483647) would expire every set at once.
    if (days <= 0)
        return;
    // A destination that is not there (a folder on a disk that is not mounted) holds the sets
    // the lists name: the lists wait for it.
    if (!FolderHandle::open(fs::path(destination)))
        return;
    const FolderWalker walker(BackupList{});
    std::vector<std::string> lists;
    walker.walk(withoutTrailingSeparators(autodeleteFolder), lists);

    for (const std::string& list : lists) {
        const auto stamp = autodeleteListStamp(list);
        if (!stamp)
            continue;
        const LocalDateTime expiry = stamp->addDays(days);
        const auto age = secondsBetween(expiry, runStamp);
        if (!age || *age <= 0)
            continue;
        // Only a regular file is read: a FIFO among the lists is a list that cannot be opened.
        const auto content = readRegularFile(fs::path(list), kMaxTextFileBytes);
        if (!content)
            continue;
        const std::vector<std::string> lines = splitTextLines(*content);
        const std::string name = list.substr(list.size() - kListNameLength);
        const std::string setName = name.substr(0, kListNameLength - 4);
        std::vector<std::string> cleaned; // the set folders the list's copies lie in
        bool allTrusted = true;
        for (const std::string& copy : lines) {
            const auto at = setNameAt(copy, setName, destination);
            if (at) {
                const std::string inSet = copy.substr(0, *at + setName.size() + 1);
                if (std::find(cleaned.begin(), cleaned.end(), inSet) == cleaned.end())
                    cleaned.push_back(inSet);
            }
            allTrusted = allTrusted && at.has_value();
            if (at && deleteCopy(copy, *at))
                continue;
            log.write("Can not delete file: " + copy);
        }
        // A list naming a file it may not delete stays, so nothing is forgotten.
        if (allTrusted && isWritableFile(fs::path(list))) {
            std::error_code ec;
            fs::remove(fs::path(list), ec);
        }
        // Without a copy to tell where the set lies, it is the set of the present destination
        // (never one at the root when there is no destination).
        const bool ownSet = cleaned.empty();
        if (ownSet)
            cleaned.push_back(destination + pathSeparator() + setName + pathSeparator());
        for (const std::string& setFolder : cleaned) {
            log.write("Cleaning: " + setFolder + " deleted.");
            if (!(ownSet && destination.empty()))
                removeSetFolder(setFolder, destination);
        }
    }
}

} // namespace kestrun
