#include "kbm/file_copy.h"

#include "platform/file_status.h"
#include "platform/regular_file.h"

#include <cstdint>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporaryPrefix = ".kbm-";
constexpr std::size_t kHashDigits = 16;

std::uint64_t nameHash(std::string_view name) { // FNV-1a, 64 bits
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

} // namespace

std::string copyTemporaryName(std::string_view targetName) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name(kTemporaryPrefix);
    const std::uint64_t hash = nameHash(targetName);
    for (std::size_t i = 0; i < kHashDigits; ++i)
        name += kDigits[(hash >> (4 * (kHashDigits - 1 - i))) & 0xF];
    return name;
}

bool isCopyTemporaryName(std::string_view name) {
    if (name.size() != kTemporaryPrefix.size() + kHashDigits || !name.starts_with(kTemporaryPrefix))
        return false;
    for (const char c : name.substr(kTemporaryPrefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool copyFileAtomically(const fs::path& source, const FolderHandle& folder,
                        const std::string& name) {
    const FileDescriptor in = openRegularForReading(source);
    const auto from = fileStatus(in);
    if (!from || !folder)
        return false;
    if (const auto there = folder.entryStatus(name); there && !there->isRegular)
        return false;
    const std::string temp = copyTemporaryName(name);
    // A leftover of an interrupted copy (or anything else under that name, a link included)
    // goes first, as itself; the copy then makes a new file.
    folder.removeFile(temp);
    {
        FileDescriptor out = folder.createFile(temp, 0600);
        if (!out)
            return false;
        // The copy keeps the source's access, but others never get the right to change it.
        // The copy is on the disk before it takes the target's name, so a copy counted as made
        // never stands for data still in the cache, and a failure the system reports only at
        // the flush or the close (a full disk, an I/O error) is a failed copy.
        const bool written =
            copyContent(in, out) &&
            setModifiedTime(out, from->modifiedSecond, from->modifiedNanosecond) &&
            setGroupAndPermissions(out, groupOwner(in), from->permissions & 0775) &&
            syncToDisk(out) && closeFile(out);
        if (!written) {
            folder.removeFile(temp);
            return false;
        }
    }
    if (!folder.rename(temp, name)) {
        folder.removeFile(temp);
        return false;
    }
    // The new name is on the disk as well.
    return syncToDisk(folder.descriptor());
}

} // namespace kestrun
