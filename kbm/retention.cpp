#include "kbm/retention.h"

#include "common/backup_list.h"
#include "common/file_util.h"
#include "common/number.h"
#include "common/text_file.h"
#include "kbm/folder_walk.h"

#include <filesystem>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kListNameLength = 19; // "YYYYmmdd-HHMMSS.txt"

// A recorded copy is deleted only when it lies in the list's own set folder below the
// destination, never through "..": a damaged or edited list cannot reach other files.
bool insideSet(const std::string& path, const std::string& setFolder) {
    if (setFolder.empty() || path.size() <= setFolder.size() || !path.starts_with(setFolder))
        return false;
    for (const auto& component : fs::path(path))
        if (component == "..")
            return false;
    return true;
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
    const FolderWalker walker(BackupList{});
    std::vector<std::string> lists;
    std::string folder = autodeleteFolder;
    while (folder.size() > 1 && folder.ends_with('/'))
        folder.pop_back();
    walker.walk(folder, lists);

    for (const std::string& list : lists) {
        const auto stamp = autodeleteListStamp(list);
        if (!stamp)
            continue;
        const LocalDateTime expiry = stamp->addDays(days);
        const auto age = secondsBetween(expiry, runStamp);
        if (!age || *age <= 0)
            continue;
        const auto lines = readTextLines(fs::path(list));
        if (!lines)
            continue;
        const std::string name = list.substr(list.size() - kListNameLength);
        const std::string setName = name.substr(0, kListNameLength - 4);
        const std::string setFolder = destination + "/" + setName + "/";
        for (const std::string& copy : *lines) {
            std::error_code ec;
            if (!destination.empty() && insideSet(copy, setFolder) &&
                isWritableFile(fs::path(copy)) && fs::remove(fs::path(copy), ec) && !ec)
                continue;
            log.write("Can not delete file: " + copy);
        }
        if (isWritableFile(fs::path(list))) {
            std::error_code ec;
            fs::remove(fs::path(list), ec);
        }
        log.write("Cleaning: " + setFolder + " deleted.");
        std::vector<std::string> left;
        walker.walk(destination + "/" + setName, left);
        if (left.empty() && !destination.empty()) {
            std::error_code ec;
            fs::remove_all(fs::path(setFolder), ec);
        }
    }
}

} // namespace kestrun
