#include "common/text_file.h"

namespace kestrun {

std::vector<std::string> splitTextLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    bool open = false; // a line has begun and has not ended yet
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            // The CRs before an LF belong to its line end; a CR without an LF ends a line.
            std::size_t crs = 1;
            while (i + 1 < text.size() && text[i + 1] == '\r') {
                ++i;
                ++crs;
            }
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
                crs = 1;
            }
            lines.push_back(std::move(line));
            line.clear();
            lines.insert(lines.end(), crs - 1, std::string());
            open = false;
        } else if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            open = false;
        } else {
            line += c;
            open = true;
        }
    }
    if (open)
        lines.push_back(std::move(line));
    return lines;
}

std::vector<std::string> splitListLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto lf = text.find('\n');
        if (lf == std::string_view::npos) {
            lines.emplace_back(text);
            break;
        }
        std::string_view line = text.substr(0, lf);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
        text.remove_prefix(lf + 1);
    }
    return lines;
}

} // namespace kestrun
