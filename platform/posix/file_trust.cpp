#include "platform/posix/file_trust.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrun::posix {

namespace {

// The access list as the kernel hands it out (linux/posix_acl_xattr.h): a little-endian
// version word, then entries of a 16-bit tag, 16-bit permissions and a 32-bit user or group id.
constexpr const char* kAclAttribute = "system.posix_acl_access";
constexpr std::uint32_t kAclVersion = 2;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kEntrySize = 8;
// Far above the longest list a file system keeps.
constexpr std::size_t kLargestAcl = 64 * 1024;

enum Tag : unsigned {
    kUserObj = 0x01,
    kUser = 0x02,
    kGroupObj = 0x04,
    kGroup = 0x08,
    kMask = 0x10,
    kOther = 0x20,
};

unsigned little16(const unsigned char* at) {
    return static_cast<unsigned>(at[0]) | static_cast<unsigned>(at[1]) << 8;
}

std::uint32_t little32(const unsigned char* at) {
    return static_cast<std::uint32_t>(little16(at)) | static_cast<std::uint32_t>(little16(at + 2))
                                                          << 16;
}

ssize_t readAcl(const AclSource& source, void* buffer, std::size_t size) {
    if (source.fd >= 0)
        return ::fgetxattr(source.fd, kAclAttribute, buffer, size);
    return source.followLink ? ::getxattr(source.path, kAclAttribute, buffer, size)
                             : ::lgetxattr(source.path, kAclAttribute, buffer, size);
}

// The list's bytes; an empty text when the file has none (or its file system keeps none);
// nullopt when it cannot be read.
std::optional<std::string> aclBytes(const AclSource& source) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = readAcl(source, nullptr, 0);
        if (size < 0)
            return errno == ENODATA || errno == ENOTSUP ? std::optional<std::string>(std::string())
                                                        : std::nullopt;
        if (static_cast<std::size_t>(size) > kLargestAcl)
            return std::nullopt;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        const ssize_t read = readAcl(source, bytes.data(), bytes.size());
        if (read >= 0) {
            bytes.resize(static_cast<std::size_t>(read));
            return bytes;
        }
        if (errno != ERANGE) // the list grew between the two calls
            return std::nullopt;
    }
    return std::nullopt;
}

bool trustedUser(std::uint32_t uid) {
    return uid == 0 || uid == ::geteuid();
}

bool trustedGroup(gid_t group, std::optional<gid_t> alsoTrusted) {
    return group == alsoTrusted || (::geteuid() != 0 && inGroup(group));
}

unsigned accessBits(unsigned mode) {
    return mode & (kMayRead | kMayWrite);
}

} // namespace

bool inGroup(gid_t group) {
    if (group == ::getegid())
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) != count)
        return false;
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::optional<gid_t> sharingGroup(const std::filesystem::path& folder) {
    struct stat st {};
    const std::filesystem::path at = folder.empty() ? std::filesystem::path(".") : folder;
    if (::stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    if ((st.st_mode & S_IWGRP) == 0 || (st.st_mode & S_IWOTH) != 0)
        return std::nullopt;
    return st.st_gid;
}

unsigned outsiderAccess(const struct stat& st, const AclSource& acl,
                        std::optional<gid_t> alsoTrusted) {
    unsigned access = accessBits(st.st_mode);
    if (!trustedGroup(st.st_gid, alsoTrusted))
        access |= accessBits(st.st_mode >> 3);
    const auto bytes = aclBytes(acl);
    if (!bytes)
        return kMayRead | kMayWrite;
    if (bytes->empty())
        return access;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
    if (bytes->size() < kHeaderSize || (bytes->size() - kHeaderSize) % kEntrySize != 0 ||
        little32(data) != kAclVersion)
        return kMayRead | kMayWrite;
    // With a list, the group bits of the mode are its mask: the owning group's own entry says
    // what that group may, and every named entry is cut down to the mask.
    unsigned mask = kMayRead | kMayWrite;
    unsigned named = 0;
    std::optional<unsigned> owningGroup;
    for (std::size_t at = kHeaderSize; at < bytes->size(); at += kEntrySize) {
        const unsigned tag = little16(data + at);
        const unsigned permissions = accessBits(little16(data + at + 2));
        const std::uint32_t id = little32(data + at + 4);
        if (tag == kMask)
            mask = permissions;
        else if (tag == kGroupObj)
            owningGroup = permissions;
        else if ((tag == kUser && !trustedUser(id)) ||
                 (tag == kGroup && !trustedGroup(static_cast<gid_t>(id), alsoTrusted)))
            named |= permissions;
        else if (tag != kUserObj && tag != kOther && tag != kUser && tag != kGroup)
            return kMayRead | kMayWrite; // a kind of entry this reading does not know
    }
    access = accessBits(st.st_mode);
    if (!trustedGroup(st.st_gid, alsoTrusted))
        access |= owningGroup.value_or(accessBits(st.st_mode >> 3)) & mask;
    return access | (named & mask);
}

bool ownerOutside(const struct stat& st, const std::filesystem::path& folder, bool folderUsers) {
    if (trustedUser(st.st_uid))
        return false;
    const auto group = sharingGroup(folder);
    return !group || *group != st.st_gid ||
           !(folderUsers || (::geteuid() != 0 && inGroup(st.st_gid)));
}

} // namespace kestrun::posix
