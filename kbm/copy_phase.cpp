#include "kbm/copy_phase.h"

#include "kbm/file_copy.h"
#include "kbm/marker.h"
#include "kbm/paths.h"
#include "kbm/queue_file.h"

#include <algorithm>
#include <fstream>

namespace kestrun {

namespace fs = std::filesystem;

CopyPhase::CopyPhase(Config config, Clock& clock, BackupLog& log, RunProgress& progress,
                     FileSender& sender)
    : config_(std::move(config)), clock_(clock), log_(log), progress_(progress), sender_(sender) {}

LocalDateTime CopyPhase::run() {
    const LocalDateTime stamp = clock_.now();
    {
        std::error_code ec;
        fs::create_directories(fs::path(config_.autodeleteFolder), ec);
    }
    std::ofstream autodeleteList(
        fs::path(config_.autodeleteFolder + stamp.format(kSetStampFormat) + ".txt"),
        std::ios::binary | std::ios::trunc);

    std::ifstream queue(config_.queueFile, std::ios::binary);
    if (!queue)
        return stamp;
    std::error_code sizeEc;
    const auto total = static_cast<std::int64_t>(fs::file_size(config_.queueFile, sizeEc));
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
        if (config_.destinationIsFolder) {
            clock_.sleepFor(std::chrono::milliseconds(500));
            if (known)
                arrived = copyToFolder(item->source, item->code, stamp,
                                       autodeleteList.is_open() ? &autodeleteList : nullptr);
        } else {
            arrived = sender_.send(item->source, rel.value_or(std::string()));
        }
        if (rel && known && !config_.markerFolder.empty()) {
            const std::string marker = config_.markerFolder + *rel;
            if (arrived)
                settleMarker(marker);
            else
                dropMarker(marker);
        }
        progress_.setOverall(static_cast<int>(done * 100 / ((sizeEc ? 0 : total) + 1)));
    }
    return stamp;
}

bool CopyPhase::copyToFolder(const std::string& source, std::int32_t code,
                             const LocalDateTime& stamp, std::ofstream* autodeleteList) {
    const auto rel = relativePath(source);
    const std::string folder =
        code == 1 ? config_.destination + "/"
                  : config_.destination + "/" + stamp.format(kSetStampFormat) + "/";
    const std::string relText =
        rel ? *rel : source.substr(std::min(source.find_first_not_of('/'), source.size()));
    const std::string target = folder + relText;
    // An empty destination would place copies at the root (a mirror copy onto its own
    // source); a path that leaves its folder through ".." is never written either. A missing
    // destination is an absent disk: creating it would fill the system disk instead.
    bool copied = false;
    std::error_code ec;
    if (!config_.destination.empty() && rel && fs::is_directory(config_.destination, ec)) {
        createFoldersAlong(target);
        copied = copyFileAtomically(fs::path(source), fs::path(target));
    }
    if (!copied) {
        log_.write("Can not backup file: " + source + " to " + target);
        return false;
    }
    if (code == 2 && autodeleteList)
        *autodeleteList << target << "\r\n" << std::flush;
    return true;
}

} // namespace kestrun
