#include "kbm/retention.h"

#include "common/backup_list.h"
#include "common/file_util.h"
#include "common/number.h"
#include "common/text_file.h"
#include "kbm/file_copy.h"
#include "kbm/folder_walk.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kListNameLength = 19; // "YYYYmmdd-HHMMSS.txt"

// A recorded copy is trusted for deletion when it lies below a folder named by its list's own
// stamp, wherever that folder is (the destination may have changed since the run), and never
// through "..": a damaged or edited list cannot reach other files. Returns the set folder
// (ending in "/") that the copy lies in, or nothing.
std::optional<std::string> setFolderOf(const std::string& copy, const std::string& setName) {
    if (!copy.starts_with('/'))
        return std::nullopt;
    std::optional<std::string> folder;
    std::size_t pos = 1;
    while (pos < copy.size()) {
        auto end = copy.find('/', pos);
        if (end == std::string::npos)
            return folder; // the file name itself
        const std::string_view component = std::string_view(copy).substr(pos, end - pos);
        if (component == "..")
            return std::nullopt;
        if (!folder && component == setName)
            folder = copy.substr(0, end + 1);
        pos = end + 1;
    }
    return std::nullopt;
}

// Whether any file is left below a folder (links are not followed; a leftover temporary file
// of an interrupted copy does not count).
bool holdsAnyFile(const std::string& folder) {
    std::error_code ec;
    fs::recursive_directory_iterator it(fs::path(folder), ec);
    if (ec)
        return !fs::is_directory(fs::path(folder), ec) && fs::exists(fs::path(folder), ec);
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            return true; // what cannot be seen may hold files
        std::error_code typeEc;
        if (it->is_directory(typeEc) && !it->is_symlink(typeEc))
            continue;
        if (!isCopyTemporaryName(it->path().filename().string()))
            return true;
    }
    return false;
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
        std::vector<std::string> cleaned; // the set folders the list's copies lie in
        bool allTrusted = true;
        for (const std::string& copy : *lines) {
            const auto inSet = setFolderOf(copy, setName);
            if (inSet && std::find(cleaned.begin(), cleaned.end(), *inSet) == cleaned.end())
                cleaned.push_back(*inSet);
            allTrusted = allTrusted && inSet.has_value();
            std::error_code ec;
            if (inSet && isWritableFile(fs::path(copy)) && fs::remove(fs::path(copy), ec) && !ec)
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
            cleaned.push_back(destination + "/" + setName + "/");
        for (const std::string& setFolder : cleaned) {
            log.write("Cleaning: " + setFolder + " deleted.");
            if (!(ownSet && destination.empty()) && !holdsAnyFile(setFolder)) {
                std::error_code ec;
                fs::remove_all(fs::path(setFolder), ec);
            }
        }
    }
}

} // namespace kestrun
