#include "kestrun/update/download_file.h"

#include "platform/file_status.h"
#include "platform/regular_file.h"
#include "platform/shared_folder.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <string>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPartMark = ".part-";

fs::path temporaryBeside(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    return target.parent_path() / ("." + target.filename().string() + std::string(kPartMark) +
                                   std::to_string(salt) + "-" + std::to_string(++counter));
}

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a name is one temporaryBeside gives: ".<name>.part-<digits>-<digits>".
bool isTemporaryName(std::string_view name) {
    const auto mark = name.rfind(kPartMark);
    if (!name.starts_with('.') || mark == std::string_view::npos || mark < 2)
        return false;
    const std::string_view numbers = name.substr(mark + kPartMark.size());
    const auto dash = numbers.find('-');
    return dash != std::string_view::npos && allDigits(numbers.substr(0, dash)) &&
           allDigits(numbers.substr(dash + 1));
}

} // namespace

DownloadFile::DownloadFile(fs::path target)
    : target_(std::move(target)), temp_(temporaryBeside(target_)) {
    // Never opens a file that is already there (or a link planted in its place).
    file_ = createNewRegularFile(temp_, 0600);
    tempExists_ = static_cast<bool>(file_);
}

DownloadFile::~DownloadFile() {
    discard();
}

void DownloadFile::write(std::string_view piece) {
    if (!file_ || piece.empty())
        return;
    if (!writeAll(file_, piece))
        discard();
}

bool DownloadFile::commit() {
    if (!file_)
        return false;
    // Closed before the rename: Windows renames no file that is open.
    const bool flushed = closeFile(file_);
    // A program for everybody to run; in a folder its group shares, also the group's to replace.
    if (!flushed || !applyNewFileMode(openRegularForReadingNoLink(temp_),
                                      newFileModeIn(target_.parent_path(), 0755))) {
        discard();
        return false;
    }
    std::error_code ec;
    fs::rename(temp_, target_, ec);
    if (ec) {
        discard();
        return false;
    }
    tempExists_ = false; // it is the target now
    return true;
}

void DownloadFile::discard() {
    closeFile(file_);
    if (tempExists_) {
        std::error_code ec;
        fs::remove(temp_, ec);
        tempExists_ = false;
    }
}

void removeLeftoverDownloads(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& file = it->path();
        std::error_code removeError; // a file that stays does not end the walk
        if (isTemporaryName(file.filename().string()) && isOwnRegularFile(file))
            fs::remove(file, removeError);
    }
}

} // namespace kestrun
