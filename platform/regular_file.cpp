#include "platform/regular_file.h"

// The parts of the file unit that need nothing but its own calls, the same on every system.

namespace kestrun {

std::optional<std::string> readRegularFile(const std::filesystem::path& file,
                                           std::size_t maxBytes) {
    const FileDescriptor fd = openRegularForReading(file);
    if (!fd)
        return std::nullopt;
    return readRest(fd, maxBytes);
}

std::optional<std::string> readRest(const FileDescriptor& fd, std::size_t maxBytes) {
    std::string content;
    char buffer[65536];
    for (;;) {
        const long n = readSome(fd, buffer, sizeof buffer);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return content;
        if (std::size_t(n) > maxBytes - content.size())
            return std::nullopt;
        content.append(buffer, std::size_t(n));
    }
}

bool copyContent(const FileDescriptor& from, const FileDescriptor& to) {
    char buffer[65536];
    for (;;) {
        const long n = readSome(from, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!writeAll(to, std::string_view(buffer, std::size_t(n))))
            return false;
    }
}

FileReadBuffer::int_type FileReadBuffer::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    const long n = readSome(fd_, buffer_, sizeof buffer_);
    if (n <= 0) // a read failure ends the stream like its end
        return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
}

} // namespace kestrun
