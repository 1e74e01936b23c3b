#include "common/binary_reader.h"

#include <cstring>
#include <limits>

namespace kestrun {

BinaryReader::BinaryReader(const std::filesystem::path& file) {
    std::error_code ec;
    // Only regular files: opening a FIFO in an executable's place would wait for a writer.
    if (!std::filesystem::is_regular_file(file, ec))
        return;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec)
        return;
    in_.open(file, std::ios::binary);
    size_ = size;
    ok_ = static_cast<bool>(in_);
}

BinaryReader BinaryReader::overBytes(std::string_view content) {
    BinaryReader reader;
    reader.memory_ = content;
    reader.size_ = content.size();
    reader.ok_ = true;
    return reader;
}

bool BinaryReader::read(std::uint64_t offset, void* out, std::size_t count) {
    if (!ok_ || offset > size_ || size_ - offset < count)
        return false;
    if (count == 0)
        return true;
    if (memory_) {
        std::memcpy(out, memory_->data() + offset, count);
        return true;
    }
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()))
        return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
    return in_.gcount() == static_cast<std::streamsize>(count);
}

std::optional<std::string> BinaryReader::bytes(std::uint64_t offset, std::size_t count) {
    if (!ok_ || offset > size_ || size_ - offset < count)
        return std::nullopt;
    std::string out(count, '\0');
    if (!read(offset, out.data(), count))
        return std::nullopt;
    return out;
}

} // namespace kestrun
