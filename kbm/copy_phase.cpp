#include "kbm/copy_phase.h"

#include "kbm/destination_identity.h"
#include "kbm/file_copy.h"
#include "kbm/marker.h"
#include "kbm/paths.h"
#include "kbm/queue_file.h"
#include "platform/data_folder.h"
#include "platform/file_status.h"
#include "platform/folder_handle.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"

#include <algorithm>
#include <istream>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAsideFolder = ".kbm-replaced";

// What stands in a copy's way as the other kind: the copy of a file that is now a folder, or a
// folder of copies where a file now goes. The mirror never deletes a copy (it may be the last
// one of a file removed at the source), so that is moved whole to the same path below
// <destination>/.kbm-replaced/<run stamp>/, out of the mirror's way, and the log says where.
// Only a regular file or a folder is moved, never a link; nothing in it is touched.
struct Aside {
    const std::string& destination;
    std::string stamp;
    BackupLog& log;

    // `below` is the folder's path below the destination: empty or ending in a separator.
    bool move(const FolderHandle& folder, const std::string& below, const std::string& name) const {
        FolderHandle to = FolderHandle::open(fs::path(destination))
                              .childCreating(kAsideFolder, 0700)
                              .childCreating(stamp, 0700);
        for (const std::string& part : pathComponents(below))
            to = to.childCreating(part, 0700);
        if (!folder.moveTo(name, to, name))
            return false;
        const std::string place = below + name;
        const char sep = pathSeparator();
        log.write("Moved aside: " + destination + sep + place + " to " + destination + sep +
                  kAsideFolder + sep + stamp + sep + place);
        return true;
    }
};

// The subfolder of a folder below the destination, never reached through a link. A folder
// made here takes the permission bits of the source folder it stands for, so what is private
// at the source stays private in the backup; the owner keeps full access, or later copies
// could not go in, and others never get the right to write it: a backup of a folder anyone
// may write (/tmp, 1777) is 1775, so nobody but its owner and group adds, swaps or removes
// copies in it. A copy of a file standing in its place goes aside.
FolderHandle copyFolder(const FolderHandle& parent, const std::string& name,
                        const std::string& standsFor, const Aside& aside,
                        const std::string& below) {
    if (!parent)
        return {};
    if (FolderHandle existing = parent.child(name))
        return existing;
    const auto source = fileStatus(fs::path(standsFor));
    if (!source || !source->isFolder)
        return parent.childCreating(name, 0700);
    if (const auto there = parent.entryStatus(name); there && there->isRegular)
        aside.move(parent, below, name);
    // Made private; the source's group is given before its group bits, and the sticky bit
    // stays, so the members of a group that shares the folder keep from renaming what is not
    // theirs.
    bool created = false;
    FolderHandle folder = parent.childCreating(name, 0700, &created);
    if (folder && created)
        setGroupAndPermissions(folder.descriptor(), groupOwner(fs::path(standsFor)),
                               ((source->permissions & 01777) | 0700) & ~0002u);
    return folder;
}

// Copies the source to its relative path below the destination, inside the set folder when one
// is named (the set stands for the root of the sources). A folder of earlier copies where the
// file goes is moved aside when the source is a file now.
bool placeCopy(const std::string& source, const std::string& set, const std::string& rel,
               const Aside& aside) {
    std::vector<std::string> parts = pathComponents(rel);
    if (parts.empty())
        return false;
    const std::string name = parts.back();
    parts.pop_back();
    FolderHandle folder = FolderHandle::open(fs::path(aside.destination));
    const char sep = pathSeparator();
    // The set stands for the root of the source ("/", its drive on Windows).
    const std::size_t rootLength = pathRootLength(source);
    std::string standsFor = rootLength != 0 ? source.substr(0, rootLength) : std::string(1, sep);
    std::string below;
    if (!set.empty()) {
        folder = copyFolder(folder, set, standsFor, aside, below);
        below = set + sep;
    }
    for (const std::string& part : parts) {
        if (!isPathSeparator(standsFor.back()))
            standsFor += sep;
        standsFor += part;
        folder = copyFolder(folder, part, standsFor, aside, below);
        below += part + sep;
    }
    if (!folder)
        return false;
    if (const auto there = folder.entryStatus(name); there && there->isFolder)
        if (const auto now = fileStatus(fs::path(source)); now && now->isRegular)
            aside.move(folder, below, name);
    return copyFileAtomically(fs::path(source), folder, name);
}

// Whether a source changed between two status calls, or went.
bool changedBetween(const FileStatus& before, const std::optional<FileStatus>& after) {
    return !after || after->size != before.size || after->modified() != before.modified() ||
           after->changed() != before.changed() || after->inode != before.inode ||
           after->device != before.device;
}

std::int64_t sizeOf(const std::optional<FileStatus>& status) {
    return status ? status->size : 0;
}

} // namespace

CopyPhase::CopyPhase(Config config, Clock& clock, BackupLog& log, RunProgress& progress,
                     FileSender& sender)
    : config_(std::move(config)), clock_(clock), log_(log), progress_(progress), sender_(sender) {}

LocalDateTime CopyPhase::run() {
    const LocalDateTime stamp = clock_.now();
    createPrivateFolders(fs::path(config_.autodeleteFolder));
    const FileDescriptor autodeleteList = openRegularForRewrite(
        fs::path(config_.autodeleteFolder + stamp.format(kSetStampFormat) + ".txt"), 0600);

    // Only a regular file is read: a FIFO in the queue's place, or a link put there after the
    // scan wrote it, is a queue that cannot be opened.
    const FileDescriptor queueFd = openRegularForReadingNoLink(config_.queueFile);
    const auto queueStatus = fileStatus(queueFd);
    if (!queueStatus)
        return stamp;
    FileReadBuffer queueBuffer(queueFd);
    std::istream queue(&queueBuffer);
    const std::int64_t total = queueStatus->size;
    std::int64_t done = 0;
    std::string line;
    while (readQueueLine(queue, line)) {
        if (line.empty())
            continue;
        done += static_cast<std::int64_t>(line.size());
        const auto item = parseQueueLine(line);
        if (!item)
            continue;
        const auto rel = relativePath(item->source);
        bool arrived = false;
        // A code outside 0 to 2 copies nothing, and no marker of ours stands for its line.
        const bool known = item->code >= 0 && item->code <= 2;
        // Taken before the pause: a change during it is one the next scan would see anyway.
        const auto before = fileStatus(item->source);
        if (config_.destinationIsFolder) {
            clock_.sleepFor(std::chrono::milliseconds(500));
            if (known)
                arrived = copyToFolder(item->source, item->code, stamp,
                                       autodeleteList ? &autodeleteList : nullptr);
        } else {
            // Remote paths are written with "/" on every system.
            arrived = sender_.send(item->source, withForwardSlashes(rel.value_or(std::string())));
        }
        std::optional<FileStatus> after;
        if (arrived) {
            after = fileStatus(item->source);
            tally_.arrived(sizeOf(after.has_value() ? after : before));
        } else if (known || !config_.destinationIsFolder) {
            ++tally_.failed;
        }
        if (rel && known && !config_.markerFolder.empty()) {
            const std::string marker = config_.markerFolder + *rel;
            if (arrived && before && changedBetween(*before, after)) {
                log_.write("File changed while it was copied, it is copied again at the next "
                           "run: " +
                           item->source);
                keepMarkerPending(marker, config_.markerFolder);
            } else if (arrived) {
                settleMarker(marker, config_.markerFolder);
            } else {
                dropMarker(marker, config_.markerFolder);
            }
        }
        progress_.setOverall(static_cast<int>(done * 100 / (total + 1)));
    }
    return stamp;
}

bool CopyPhase::copyToFolder(const std::string& source, std::int32_t code,
                             const LocalDateTime& stamp, const FileDescriptor* autodeleteList) {
    const auto rel = relativePath(source);
    const char sep = pathSeparator();
    const std::string folder =
        code == 1 ? config_.destination + sep
                  : config_.destination + sep + stamp.format(kSetStampFormat) + sep;
    const std::string relText = rel ? *rel : source.substr(pathRootLength(source));
    const std::string target = folder + relText;
    // An empty destination would place copies at the root (a mirror copy onto its own
    // source); a path that leaves its folder through ".." is never written either. A missing
    // destination is an absent disk: creating it would fill the system disk instead. The
    // destination may be reached through a link; nothing below it is, and the destination's
    // own mark is never replaced by a copy.
    const Aside aside{config_.destination, stamp.format(kSetStampFormat), log_};
    const bool copied = !config_.destination.empty() && !config_.destinationAbsent && rel &&
                        (code != 1 || !samePath(*rel, kDestinationIdentityFile)) &&
                        destinationUnchanged() &&
                        placeCopy(source, code == 1 ? "" : aside.stamp, *rel, aside);
    if (!copied) {
        log_.write("Can not backup file: " + source + " to " + target);
        return false;
    }
    if (config_.removeLeftovers)
        removeLeftoversBeside(*rel, code == 1 ? "" : aside.stamp);
    if (code == 2 && autodeleteList)
        writeAll(*autodeleteList, target + "\r\n");
    return true;
}

bool CopyPhase::destinationUnchanged() const {
    if (!config_.destinationFolder)
        return true;
    const auto now = fileStatus(fs::path(config_.destination));
    return now && FolderIdentity{now->device, now->inode} == *config_.destinationFolder;
}

// Removes the temporary files that copies cut off by the end of a run left in the folder of
// a copy, once per folder; the folder is reached as the copy was, never through a link.
void CopyPhase::removeLeftoversBeside(const std::string& rel, const std::string& set) {
    std::vector<std::string> parts = pathComponents(rel);
    parts.pop_back();
    if (!set.empty())
        parts.insert(parts.begin(), set);
    std::string key;
    FolderHandle folder = FolderHandle::open(fs::path(config_.destination));
    for (const std::string& part : parts) {
        key += "/" + part;
        folder = folder.child(part);
    }
    if (!folder || !cleaned_.insert(key).second)
        return;
    for (const std::string& name : folder.names().value_or(std::vector<std::string>{}))
        if (isCopyTemporaryName(name))
            if (const auto status = folder.entryStatus(name); status && status->isRegular)
                folder.removeFile(name);
}

} // namespace kestrun
