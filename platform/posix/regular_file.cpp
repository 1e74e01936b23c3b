#include "platform/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

// O_NONBLOCK makes the open of a FIFO return at once instead of waiting for its other end;
// the type is then checked on the open descriptor, so a swap after a check cannot fool it.
FileDescriptor openRegular(const std::filesystem::path& file, int flags, unsigned mode) {
    int fd;
    do {
        fd = ::open(file.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    FileDescriptor result(fd);
    if (!result)
        return result;
    struct stat st {};
    if (::fstat(result.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const int status = ::fcntl(result.get(), F_GETFL);
    if (status >= 0)
        ::fcntl(result.get(), F_SETFL, status & ~O_NONBLOCK);
    return result;
}

} // namespace

FileDescriptor openRegularForReading(const std::filesystem::path& file) {
    return openRegular(file, O_RDONLY, 0);
}

FileDescriptor openRegularForAppend(const std::filesystem::path& file, unsigned createMode) {
    return openRegular(file, O_WRONLY | O_APPEND | O_CREAT, createMode);
}

std::optional<std::string> readRegularFile(const std::filesystem::path& file) {
    const FileDescriptor fd = openRegularForReading(file);
    if (!fd)
        return std::nullopt;
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return content;
        content.append(buffer, std::size_t(n));
    }
}

bool writeAll(const FileDescriptor& fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

} // namespace kestrun
