#include "kestrun/update/drop_folder.h"

#include "common/local_date_time.h"
#include "platform/file_time.h"

#include <algorithm>

namespace kestrun {

namespace fs = std::filesystem;

bool DropFolder::create() const {
    std::error_code ec;
    fs::create_directory(folder_, ec);
    return fs::is_directory(folder_, ec);
}

std::optional<fs::path> DropFolder::servable(std::string_view name) const {
    if (!wire::isPlainFileName(name))
        return std::nullopt;
    std::error_code ec;
    const fs::path root = fs::canonical(folder_, ec);
    if (ec)
        return std::nullopt;
    const fs::path target = fs::canonical(folder_ / fs::path(std::string(name)), ec);
    if (ec || target == root)
        return std::nullopt;
    const auto [rootEnd, targetAt] =
        std::mismatch(root.begin(), root.end(), target.begin(), target.end());
    if (rootEnd != root.end() || !fs::is_regular_file(target, ec))
        return std::nullopt;
    return target;
}

std::vector<wire::ListEntry> DropFolder::list() const {
    std::vector<wire::ListEntry> entries;
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder_, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto file = servable(name);
        if (!file)
            continue;
        if (const auto modified = localModificationTime(*file))
            entries.push_back({name, modified->format(kShortStampFormat)});
    }
    return entries;
}

} // namespace kestrun
