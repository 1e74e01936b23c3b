#include "kbm/scan_phase.h"

#include "kbm/destination_identity.h"
#include "kbm/folder_walk.h"
#include "kbm/marker.h"
#include "kbm/paths.h"
#include "kbm/queue_file.h"
#include "platform/file_status.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"

#include <unordered_set>

namespace kestrun {

namespace fs = std::filesystem;

std::optional<std::int32_t> queueCode(const BackupEntry& entry) {
    if (entry.mode < 0 || entry.mode > 2)
        return std::nullopt;
    if (entry.isFile())
        return entry.mode;
    return entry.mode == 2 ? 2 : 1;
}

namespace {

// Whether a file changed since its marker's time. A status change no earlier than the marker
// counts, as the marker's time and the file's may fall in one tick of the clock; a marker
// stamped to the whole second then compares as whole seconds. A file whose times were put
// back still has a new status-change time, which no user can set.
bool changedSince(const FileStatus& source, const FileTime& marker) {
    return source.modified() > marker || source.changed() >= marker;
}

bool isDestinationIdentity(std::string_view path) {
    const auto slash = lastPathSeparator(path);
    return samePath(path.substr(slash == std::string_view::npos ? 0 : slash + 1),
                    kDestinationIdentityFile);
}

} // namespace

ScanPhase::ScanPhase(Paths paths, const BackupList& include, const BackupList& exclude,
                     BackupLog& log, RunProgress& progress)
    : paths_(std::move(paths)), include_(include), exclude_(exclude), log_(log),
      progress_(progress) {}

std::size_t ScanPhase::run() {
    FileDescriptor queue = createQueueFile(paths_.queueFile);
    queueComplete_ = static_cast<bool>(queue);
    if (!queue) {
        log_.write("Can not create the result file");
        return 0;
    }
    // After a failed write nothing more is written: a line cut short would join the next.
    // The files left out keep pending markers, so the next run queues them again.
    const auto write = [&](const std::string& text, bool last = false) {
        if (queueComplete_ && !(writeAll(queue, text) && (!last || closeFile(queue)))) {
            queueComplete_ = false;
            log_.write("Can not write the result file");
        }
    };
    const FolderWalker walker(exclude_, paths_.ownFolders);
    std::size_t queued = 0;
    // Markers made pending by this scan stand for a queued file: a later entry naming the same
    // file compares with them like with any marker, and does not queue it again.
    std::unordered_set<std::string> pendingNow;
    std::string lines; // written in blocks
    constexpr std::size_t kBlock = 65536;
    for (std::size_t index = 0; index < include_.size(); ++index) {
        const BackupEntry& entry = include_[index];
        const auto code = queueCode(entry);
        // Only a later entry can name a file again: the last one need not remember its own.
        const bool laterEntries = index + 1 < include_.size();
        MarkerWriter markers(paths_.markerFolder);
        const std::string failure = "Copying failed: " + entry.path;
        // A failure names the file or folder when the entry's walk found it (a folder that is
        // there but cannot be read as well).
        const auto fail = [&](const std::string& path) {
            ++failures_;
            log_.write(path == entry.path ? failure : failure + ": " + escapedName(path));
        };
        // Each candidate is decided as the walk finds it, so the scan holds no list of them.
        const auto consider = [&](const std::string& source) {
            // The destination's own mark is never a file of the backup.
            if (isDestinationIdentity(source))
                return;
            const auto rel = relativePath(source);
            // A path that cannot be one queue line, or that would place its marker or its
            // copy outside their folders, is never queued. A name found in a folder is shown
            // too, with its odd bytes escaped.
            if (!rel || hasLineBreakOrTab(source)) {
                fail(source);
                return;
            }
            const std::string marker = paths_.markerFolder + *rel;
            // One status call for the marker (existence, state and time), one for the source.
            const MarkerState state = markers.state(marker);
            const bool queuedNow = pendingNow.contains(pathKey(marker));
            if (state.unfinished && !queuedNow && !unfinishedRun_) {
                unfinishedRun_ = true;
                log_.write("Previous backup did not complete, its files are copied again.");
            }
            const std::optional<FileTime> markerTime =
                queuedNow ? state.anyTime : (everyFileNew_ ? std::nullopt : state.settledTime);
            if (markerTime && entry.mode != 2) {
                const auto sourceStatus = fileStatus(source);
                if (!sourceStatus || !changedSince(*sourceStatus, *markerTime))
                    return;
            }
            if (!markers.queue(marker, state, code.has_value())) {
                fail(source);
                return;
            }
            if (code) {
                if (laterEntries)
                    pendingNow.insert(pathKey(marker));
                lines += formatQueueLine(source, *code);
                if (lines.size() >= kBlock) {
                    write(lines);
                    lines.clear();
                }
                ++queued;
            }
        };
        if (entry.isFile())
            consider(entry.path);
        else
            walker.walk(entry.path, consider, fail);
    }
    const auto n = static_cast<std::int64_t>(include_.size());
    write(lines, true); // a write that fails only at the close fails the queue as well
    progress_.setTransfer(static_cast<int>(n * 100 / (n + 1)));
    return queued;
}

} // namespace kestrun
