#include "common/text_file.h"

#include "common/file_util.h"

#include <fstream>
#include <random>

namespace kestrun {

namespace fs = std::filesystem;

std::optional<std::vector<std::string>> readTextLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        // The CRs before the LF belong to the line end.
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        line.clear();
    }
    return lines;
}

bool replaceFile(const fs::path& link, const std::string& content) {
    if (isReadOnlyFile(link))
        return false;
    // A linked list file is replaced where the link points, and keeps its permissions.
    std::error_code linkEc;
    fs::path file = link;
    if (fs::is_symlink(link, linkEc)) {
        file = fs::weakly_canonical(link, linkEc);
        if (linkEc)
            return false;
    }
    std::random_device random;
    const fs::path temp =
        file.parent_path() / ("." + file.filename().string() + ".tmp" + std::to_string(random()));
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            return false;
        }
    }
    std::error_code ec;
    if (const auto old = fs::status(file, ec); !ec && fs::exists(old))
        fs::permissions(temp, old.permissions(), fs::perm_options::replace, ec);
    fs::rename(temp, file, ec);
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

} // namespace kestrun
