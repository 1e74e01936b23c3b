#include "kbm/destination_identity.h"

#include "kbm/file_copy.h"
#include "kbm/file_sender.h"
#include "platform/file_status.h"
#include "platform/folder_handle.h"
#include "platform/path_rules.h"
#include "platform/regular_file.h"

#include <random>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kIdDigits = 32;

std::string newId() {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device random;
    std::string id;
    while (id.size() < kIdDigits) {
        const unsigned bits = random();
        for (int i = 0; i < 8 && id.size() < kIdDigits; ++i)
            id += kDigits[(bits >> (4 * i)) & 0xF];
    }
    return id;
}

bool isId(std::string_view text) {
    return text.size() == kIdDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The id an identity file holds; empty when it holds anything else.
std::string idIn(std::string_view text) {
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    return isId(text) ? std::string(text) : std::string();
}

// The id in the destination folder; empty when there is none (or something else, a link
// included, stands in its place).
std::string destinationId(const std::string& destination) {
    const FileDescriptor in =
        openRegularForReadingNoLink(fs::path(destination) / kDestinationIdentityFile);
    char buffer[kIdDigits + 2];
    const long n = in ? readSome(in, buffer, sizeof buffer) : -1;
    return n <= 0 ? std::string() : idIn(std::string_view(buffer, static_cast<std::size_t>(n)));
}

// Written to a temporary name in the destination and renamed into place: whatever stood
// there (a link included) is replaced, never written through.
bool writeDestinationId(const std::string& destination, const std::string& id) {
    const FolderHandle folder = FolderHandle::open(fs::path(destination));
    const std::string temp = copyTemporaryName(kDestinationIdentityFile);
    folder.removeFile(temp);
    bool written = false;
    // Readable by all: users who share the destination share its id, or each would take the
    // other's for a replaced destination and copy everything again at every run.
    if (FileDescriptor out = folder.createFile(temp, 0644))
        written = setPermissions(out, 0644) && writeAll(out, id + "\n") && syncToDisk(out) &&
                  closeFile(out);
    if (written && folder.rename(temp, kDestinationIdentityFile))
        return true;
    folder.removeFile(temp);
    return false;
}

// Whether a settled marker (an empty file: a copy was made) lies below the folder; stops at
// the first one.
bool holdsSettledMarker(const FolderHandle& folder) {
    const auto names = folder.names();
    if (!names)
        return false;
    for (const std::string& name : *names) {
        const auto status = folder.entryStatus(name);
        if (status && ((status->isRegular && status->size == 0) ||
                       (status->isFolder && holdsSettledMarker(folder.child(name)))))
            return true;
    }
    return false;
}

std::string normalDestination(const std::string& destination) {
    return withoutTrailingSeparators(fs::path(destination).lexically_normal().string());
}

} // namespace

DestinationIdentity::DestinationIdentity(const fs::path& dataFolder, const std::string& destination)
    : recordFile_(dataFolder / "KBM" / "destination"),
      destination_(normalDestination(destination)) {}

DestinationIdentity::DestinationIdentity(const fs::path& dataFolder, const std::string& account,
                                         FileSender& server)
    : recordFile_(dataFolder / "KBM" / "destination"), destination_(account), server_(&server) {}

std::optional<DestinationIdentity::Record> DestinationIdentity::readRecord() const {
    const auto content = readRegularFile(recordFile_, 65536);
    if (!content)
        return std::nullopt;
    const auto first = content->find('\n');
    const auto second = content->find('\n', first == std::string::npos ? first : first + 1);
    if (second == std::string::npos || !content->ends_with('\n'))
        return std::nullopt;
    Record record;
    record.id = content->substr(0, first);
    const std::string kind = content->substr(first + 1, second - first - 1);
    record.mountPoint = kind == "1";
    record.writeOnly = kind == "w";
    record.destination = content->substr(second + 1, content->size() - second - 2);
    return record;
}

bool DestinationIdentity::writeRecord(const Record& record) const {
    // The data folder is the user's own: a temporary name and a rename suffice.
    const fs::path temp = recordFile_.string() + ".new";
    {
        const FileDescriptor out = openRegularForRewrite(temp, 0600);
        const char* kind = record.mountPoint ? "1" : record.writeOnly ? "w" : "0";
        if (!out || !writeAll(out, record.id + "\n" + kind + "\n" + record.destination + "\n"))
            return false;
    }
    std::error_code ec;
    fs::rename(temp, recordFile_, ec);
    return !ec;
}

std::optional<DestinationIdentity::Seen> DestinationIdentity::look() const {
    if (server_) {
        const auto text = server_->fetchIdentity();
        if (!text) // the server could not be asked: nothing is learnt of it
            return std::nullopt;
        return Seen{false, {}, idIn(*text)};
    }
    const fs::path folder(destination_);
    const auto mountPoint = isMountPoint(folder);
    const auto status = fileStatus(folder);
    if (!mountPoint || !status || !status->isFolder)
        return std::nullopt;
    return Seen{*mountPoint, {status->device, status->inode}, destinationId(destination_)};
}

DestinationCheck DestinationIdentity::check(const std::string& markerFolder) {
    DestinationCheck result;
    recorded_ = readRecord();
    // A folder is named as the system compares paths; an account exactly.
    const bool ours = recorded_ && (server_ ? recorded_->destination == destination_
                                            : samePath(recorded_->destination, destination_));
    // The run's copies go to the account whether or not it hands out its id: a record of
    // another destination would tell of copies it does not have.
    if (server_ && recorded_ && !ours)
        forget();
    seen_ = look();
    if (ours && recorded_->mountPoint && seen_ && !seen_->mountPoint) {
        seen_.reset();
        result.absent = true;
        result.message = "Backup destination is not mounted: " + destination_;
        return result;
    }
    if (!seen_) // missing: its copies fail, and nothing is learnt of it
        return result;
    if (!server_)
        result.folder = seen_->folder;
    const std::string& found = seen_->id;
    if (ours && !found.empty() && found == recorded_->id)
        return result;
    // An account that never handed its id back tells nothing by not handing it now.
    if (ours && found.empty() && recorded_->writeOnly)
        return result;
    result.refill = true;
    if (ours)
        result.message =
            "Backup destination was emptied or replaced, every file is copied again: " +
            destination_;
    else if (holdsSettledMarker(FolderHandle::open(fs::path(markerFolder))))
        result.message = "New backup destination, every file is copied again: " + destination_;
    return result;
}

std::string DestinationIdentity::record() {
    if (server_)
        return recordAccount();
    // A destination unmounted, swapped or made during the run holds no copies the markers know
    // of: it keeps what it has, so the next run compares it again.
    if (!seen_ || look() != seen_)
        return {};
    // An id found there is kept: users who share the destination then share its id too.
    std::string id = seen_->id;
    if (id.empty()) {
        id = newId();
        if (!writeDestinationId(destination_, id))
            return {};
    }
    const Record now{id, seen_->mountPoint, false, destination_};
    if (recorded_ != now)
        writeRecord(now);
    return {};
}

std::string DestinationIdentity::recordAccount() {
    if (!seen_) // the server could not be asked at the start: it is compared again next time
        return {};
    const bool writeOnly =
        recorded_ && recorded_->writeOnly && recorded_->destination == destination_;
    if (seen_->id.empty() && writeOnly) // its id was given before and can not be seen anyway
        return {};
    Record now{seen_->id, false, false, destination_};
    std::string line;
    if (now.id.empty()) {
        now.id = newId();
        if (!server_->storeIdentity(now.id))
            return {};
        // Read back: an account that takes files but hands none out can not show that it
        // was emptied, and would otherwise be filled again at every run.
        const auto back = server_->fetchIdentity();
        if (!back)
            return {};
        if (idIn(*back) != now.id) {
            now.writeOnly = true;
            line = "Backup destination does not hand back its id, an emptied or replaced "
                   "one is not noticed: " +
                   destination_;
        }
    }
    if (recorded_ != now)
        writeRecord(now);
    return line;
}

void DestinationIdentity::forget() {
    std::error_code ec;
    fs::remove(recordFile_, ec);
}

} // namespace kestrun
