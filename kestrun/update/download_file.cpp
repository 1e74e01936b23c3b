#include "kestrun/update/download_file.h"

#include "platform/shared_folder.h"

#include <atomic>
#include <random>
#include <string>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

fs::path temporaryBeside(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    return target.parent_path() / ("." + target.filename().string() + ".part-" +
                                   std::to_string(salt) + "-" + std::to_string(++counter));
}

} // namespace

DownloadFile::DownloadFile(fs::path target)
    : target_(std::move(target)), temp_(temporaryBeside(target_)) {
    // "x": never opens a file that is already there (or a link planted in its place).
    file_.reset(std::fopen(temp_.c_str(), "wbx"));
    tempExists_ = static_cast<bool>(file_);
}

DownloadFile::~DownloadFile() {
    discard();
}

void DownloadFile::write(std::string_view piece) {
    if (!file_ || piece.empty())
        return;
    if (std::fwrite(piece.data(), 1, piece.size(), file_.get()) != piece.size())
        discard();
}

bool DownloadFile::commit() {
    if (!file_)
        return false;
    const bool flushed = std::fflush(file_.get()) == 0;
    file_.reset();
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
    file_.reset();
    if (tempExists_) {
        std::error_code ec;
        fs::remove(temp_, ec);
        tempExists_ = false;
    }
}

} // namespace kestrun
