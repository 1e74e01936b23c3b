#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

namespace kestrun {

// An open file descriptor, closed when the object goes.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();

private:
    int fd_ = -1;
};

// Opens an existing regular file for reading. A FIFO, a device, a socket or a link to one is
// refused without waiting on it: it is a file that cannot be opened.
FileDescriptor openRegularForReading(const std::filesystem::path& file);

// As openRegularForReading, but a link in the file's own place is refused as well.
FileDescriptor openRegularForReadingNoLink(const std::filesystem::path& file);

// Whether a link in this place belongs to someone other than the running user and root: such a
// link (planted in a folder others may write) must not lead a write elsewhere.
bool isOthersLink(const std::filesystem::path& place);

// Whether a regular file of the running user's (not a link) is in this place.
bool isOwnRegularFile(const std::filesystem::path& place);

// Opens a regular file for appending, creating it with the given mode bits when it is missing.
// Anything but a regular file is refused without waiting on it. A link in the file's place is
// followed only when the running user or root owns it, and never to create its target.
// `created` tells whether the file was made by this call.
FileDescriptor openRegularForAppend(const std::filesystem::path& file, unsigned createMode,
                                    bool* created = nullptr);

// Opens a regular file for writing from its start, emptying it, or creates it with the given
// mode bits (less the umask) when it is missing. A link in the file's own place is refused, and
// so is anything but a regular file, without waiting on it.
FileDescriptor openRegularForRewrite(const std::filesystem::path& file, unsigned createMode);

// As openRegularForRewrite, but what the file holds is kept.
FileDescriptor openRegularForUpdate(const std::filesystem::path& file, unsigned createMode);

// Creates a new regular file with the given mode bits (less the umask) and opens it for
// writing. Fails when anything is in its place already, a link or a dangling link included.
FileDescriptor createNewRegularFile(const std::filesystem::path& file, unsigned createMode);

// The whole content of a regular file; nullopt when it cannot be opened or read, or when it
// holds more than maxBytes.
std::optional<std::string>
readRegularFile(const std::filesystem::path& file,
                std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// The rest of an open file's content from its current position; nullopt when a read fails or
// it holds more than maxBytes.
std::optional<std::string> readRest(const FileDescriptor& fd,
                                    std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// Writes all bytes; false when the write fails.
bool writeAll(const FileDescriptor& fd, std::string_view bytes);

// Reads up to size bytes; the number read, 0 at the end, -1 on a failure.
long readSome(const FileDescriptor& fd, char* buffer, std::size_t size);

// Copies everything from the current position of one file to the other; false on a failure.
bool copyContent(const FileDescriptor& from, const FileDescriptor& to);

// Flushes an open file's content to the disk; false when the system reports a failure.
bool syncToDisk(const FileDescriptor& fd);

// Closes the file now; false when the system reports a failure (a write that failed late).
bool closeFile(FileDescriptor& fd);

// Sets an open file's size, cutting it or extending it with zero bytes.
bool setFileSize(const FileDescriptor& fd, std::int64_t size);

// Sets the permission bits of an open file or folder exactly (the umask plays no part).
bool setPermissions(const FileDescriptor& fd, unsigned permissions);

// The group owner of an open file, or of a path with links followed; nullopt when unknown.
std::optional<std::uint32_t> groupOwner(const FileDescriptor& fd);
std::optional<std::uint32_t> groupOwner(const std::filesystem::path& path);

// Gives an open file or folder a group owner, then exactly these permission bits. When the
// group cannot be given (or none is named) the group bits are cleared, so the group the file
// happens to have gains no access meant for another.
bool setGroupAndPermissions(const FileDescriptor& fd, std::optional<std::uint32_t> group,
                            unsigned permissions);

// Sets the modification time of an open file (and its access time to the same).
bool setModifiedTime(const FileDescriptor& fd, std::int64_t second, std::int64_t nanosecond);
// Sets the modification time of an open file to the present.
bool touchModifiedTime(const FileDescriptor& fd);

// A read-only stream buffer over an open file, for std::istream.
class FileReadBuffer final : public std::streambuf {
public:
    explicit FileReadBuffer(const FileDescriptor& fd) : fd_(fd) {}

protected:
    int_type underflow() override;

private:
    const FileDescriptor& fd_;
    char buffer_[65536];
};

} // namespace kestrun
