#pragma once

#include <filesystem>
#include <optional>
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

// Opens a regular file for appending, creating it with the given mode bits when it is missing.
// Anything but a regular file (or a link to one) is refused without waiting on it.
FileDescriptor openRegularForAppend(const std::filesystem::path& file, unsigned createMode);

// The whole content of a regular file; nullopt when it cannot be opened or read.
std::optional<std::string> readRegularFile(const std::filesystem::path& file);

// Writes all bytes; false when the write fails.
bool writeAll(const FileDescriptor& fd, std::string_view bytes);

} // namespace kestrun
