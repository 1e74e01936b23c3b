#include "kbm/copy_phase.h"

#include "kbm/file_copy.h"
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
    while (std::getline(queue, line)) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        done += static_cast<std::int64_t>(line.size());
        const auto item = parseQueueLine(line);
        if (!item)
            continue;
        if (config_.destinationIsFolder) {
            clock_.sleepFor(std::chrono::milliseconds(500));
            copyToFolder(item->source, item->code, stamp,
                         autodeleteList.is_open() ? &autodeleteList : nullptr);
        } else {
            sender_.send(item->source, relativePath(item->source).value_or(std::string()));
        }
        progress_.setOverall(static_cast<int>(done * 100 / ((sizeEc ? 0 : total) + 1)));
    }
    return stamp;
}

void CopyPhase::copyToFolder(const std::string& source, std::int32_t code,
                             const LocalDateTime& stamp, std::ofstream* autodeleteList) {
    if (code < 0 || code > 2)
        return;
    const auto rel = relativePath(source);
    const std::string folder =
        code == 1 ? config_.destination + "/"
                  : config_.destination + "/" + stamp.format(kSetStampFormat) + "/";
    const std::string relText =
        rel ? *rel : source.substr(std::min(source.find_first_not_of('/'), source.size()));
    const std::string target = folder + relText;
    // An empty destination would place copies at the root (a mirror copy onto its own
    // source); a path that leaves its folder through ".." is never written either.
    bool copied = false;
    if (!config_.destination.empty() && rel) {
        createFoldersAlong(target);
        copied = copyFileAtomically(fs::path(source), fs::path(target));
    }
    if (!copied) {
        log_.write("Can not backup file: " + source + " to " + target);
        return;
    }
    if (code == 2 && autodeleteList)
        *autodeleteList << target << "\r\n" << std::flush;
}

} // namespace kestrun
