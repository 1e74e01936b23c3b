#include "kbm/marker.h"

#include "kbm/paths.h"
#include "platform/file_status.h"
#include "platform/regular_file.h"

#include <filesystem>

namespace kestrun {

namespace fs = std::filesystem;

std::optional<std::int64_t> settledMarkerTime(const std::string& marker) {
    const auto status = fileStatus(marker);
    if (!status || status->isFolder || status->size != 0)
        return std::nullopt;
    return status->modifiedSecond;
}

bool queueMarker(const std::string& marker, bool pending) {
    createFoldersAlong(marker);
    // The markers name the user's files: they are the user's own.
    const FileDescriptor out = openRegularForRewrite(fs::path(marker), 0600);
    if (!out)
        return false;
    if (pending && !writeAll(out, "q"))
        return false;
    touchModifiedTime(out);
    return true;
}

void settleMarker(const std::string& marker) {
    const fs::path file(marker);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec) || fs::file_size(file, ec) == 0 || ec)
        return;
    const auto queued = fs::last_write_time(file, ec);
    if (ec)
        return;
    fs::resize_file(file, 0, ec);
    if (!ec)
        fs::last_write_time(file, queued, ec);
}

void dropMarker(const std::string& marker) {
    std::error_code ec;
    fs::remove(fs::path(marker), ec);
}

} // namespace kestrun
