#include "kestrun/update/drop_folder.h"

#include "common/local_date_time.h"
#include "platform/file_time.h"
#include "platform/folder_handle.h"
#include "platform/shared_folder.h"

#include <algorithm>

namespace kestrun {

namespace fs = std::filesystem;

bool DropFolder::create() const {
    std::error_code ec;
    // In a folder its group shares, the members drop their files here too: the folder is the
    // group's (2770). Anywhere else it is made as the umask has it.
    const fs::path parent = folder_.parent_path().empty() ? fs::path(".") : folder_.parent_path();
    if (const NewFileMode mode = newFolderModeIn(parent, 0700); mode.group) {
        bool created = false;
        const FolderHandle made = FolderHandle::open(parent).childCreating(
            folder_.filename().string(), mode.permissions & 0700, &created);
        if (made && created)
            applyNewFileMode(made.descriptor(), mode);
    } else {
        fs::create_directory(folder_, ec);
    }
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

namespace {

// A line of the list is "name TAB stamp LF": a name holding a tab, a line feed or any other
// control character would forge lines or fields of its own.
bool listableName(std::string_view name) {
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

} // namespace

std::vector<wire::ListEntry> DropFolder::list() const {
    std::vector<wire::ListEntry> entries;
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder_, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!listableName(name))
            continue;
        const auto file = servable(name);
        if (!file)
            continue;
        if (const auto modified = localModificationTime(*file))
            entries.push_back({name, modified->format(kShortStampFormat)});
    }
    return entries;
}

} // namespace kestrun
