#include "platform/folder_handle.h"

#include "platform/posix/stat_conversion.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace kestrun {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

bool isComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

} // namespace

FolderHandle FolderHandle::open(const std::filesystem::path& folder) {
    if (folder.empty())
        return {};
    int fd;
    do {
        fd = ::open(folder.c_str(), kFolderFlags);
    } while (fd < 0 && errno == EINTR);
    return FolderHandle(FileDescriptor(fd));
}

std::optional<FileStatus> FolderHandle::entryStatus(const std::string& name) const {
    struct stat st {};
    if (!fd_ || !isComponent(name) ||
        ::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return toFileStatus(st);
}

FolderHandle FolderHandle::child(const std::string& name) const {
    if (!fd_ || !isComponent(name))
        return {};
    int fd;
    do {
        fd = ::openat(fd_.get(), name.c_str(), kFolderFlags | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    return FolderHandle(FileDescriptor(fd));
}

FolderHandle FolderHandle::childCreating(const std::string& name, unsigned permissions,
                                         bool* created) const {
    if (created)
        *created = false;
    if (!fd_ || !isComponent(name))
        return {};
    const bool made = ::mkdirat(fd_.get(), name.c_str(), 0700) == 0;
    if (!made && errno != EEXIST)
        return {};
    FolderHandle folder = child(name);
    if (folder && made) {
        setPermissions(folder.fd_, permissions);
        if (created)
            *created = true;
    }
    return folder;
}

FileDescriptor FolderHandle::createFile(const std::string& name, unsigned mode) const {
    if (!fd_ || !isComponent(name))
        return {};
    int fd;
    do {
        fd = ::openat(fd_.get(), name.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                      static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

FileDescriptor FolderHandle::openFileForUpdate(const std::string& name, unsigned mode) const {
    if (!fd_ || !isComponent(name))
        return {};
    int fd;
    do {
        // O_NONBLOCK: a FIFO in the file's place is refused at once instead of waited on.
        fd = ::openat(fd_.get(), name.c_str(),
                      O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                      static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    FileDescriptor file(fd);
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

bool FolderHandle::removeFile(const std::string& name) const {
    return fd_ && isComponent(name) && ::unlinkat(fd_.get(), name.c_str(), 0) == 0;
}

bool FolderHandle::removeFolder(const std::string& name) const {
    return fd_ && isComponent(name) && ::unlinkat(fd_.get(), name.c_str(), AT_REMOVEDIR) == 0;
}

bool FolderHandle::rename(const std::string& from, const std::string& to) const {
    return fd_ && isComponent(from) && isComponent(to) &&
           ::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) == 0;
}

bool FolderHandle::moveTo(const std::string& from, const FolderHandle& target,
                          const std::string& to) const {
    if (!fd_ || !target.fd_ || !isComponent(from) || !isComponent(to))
        return false;
    if (::renameat2(fd_.get(), from.c_str(), target.fd_.get(), to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system that cannot refuse to replace: the new name is looked at first.
    return !target.entryStatus(to) &&
           ::renameat(fd_.get(), from.c_str(), target.fd_.get(), to.c_str()) == 0;
}

std::optional<std::vector<std::string>> FolderHandle::names() const {
    if (!fd_)
        return std::nullopt;
    // A new open of the folder, so every listing starts at its beginning.
    const int fd = ::openat(fd_.get(), ".", kFolderFlags);
    if (fd < 0)
        return std::nullopt;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
        errno = 0;
    }
    if (errno != 0)
        return std::nullopt;
    return names;
}

} // namespace kestrun
