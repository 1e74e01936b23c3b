#include "common/ini_document.h"

#include <algorithm>

namespace kestrun {

namespace {

constexpr std::string_view kMarker = "@Text(";
constexpr std::string_view kBlanks = " \t";

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c);
    });
    return out;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The lines of a text; a run of CRs before an LF, an LF alone, or a lone CR ends a line.
std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            std::size_t end = i;
            while (end < text.size() && text[end] == '\r')
                ++end;
            if (end < text.size() && text[end] == '\n')
                i = end;
        } else if (c != '\n') {
            line += c;
            continue;
        }
        lines.push_back(std::move(line));
        line.clear();
    }
    if (!line.empty())
        lines.push_back(std::move(line));
    return lines;
}

bool needsEncoding(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
           value.substr(0, kMarker.size()) == kMarker;
}

} // namespace

IniDocument::Line IniDocument::classify(std::string text, const std::string& section) {
    Line line{std::move(text), section, {}, false, 0};
    const std::string_view body = trimmed(line.text);
    if (body.empty() || body.front() == ';' || body.front() == '#')
        return line;
    if (body.front() == '[') {
        // A header without its "]" is skipped: the lines after it stay where they were.
        if (const auto close = body.find(']'); close != std::string_view::npos) {
            line.isHeader = true;
            line.section = lower(trimmed(body.substr(1, close - 1)));
        }
        return line;
    }
    const auto eq = line.text.find('=');
    if (eq == std::string::npos)
        return line;
    line.key = lower(trimmed(std::string_view(line.text).substr(0, eq)));
    line.valueStart = eq + 1;
    return line;
}

IniDocument::IniDocument(std::string_view text) {
    std::string section = "general";
    for (std::string& raw : splitLines(text)) {
        lines_.push_back(classify(std::move(raw), section));
        section = lines_.back().section;
    }
}

std::optional<std::string> IniDocument::value(std::string_view section,
                                              std::string_view key) const {
    const std::string s = lower(section), k = lower(key);
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
        if (!it->key.empty() && it->key == k && it->section == s)
            return decodeValue(std::string_view(it->text).substr(it->valueStart));
    return std::nullopt;
}

void IniDocument::set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string s = lower(section), k = lower(key);
    Line line{std::string(key) + "=" + encodeValue(value), s, k, false, key.size() + 1};
    // The last line of the section, where a new key goes.
    std::optional<std::size_t> sectionEnd;
    for (std::size_t i = lines_.size(); i-- > 0;) {
        if (lines_[i].section != s)
            continue;
        if (lines_[i].key == k) {
            lines_[i] = std::move(line);
            return;
        }
        if (!sectionEnd && (lines_[i].isHeader || !lines_[i].key.empty()))
            sectionEnd = i;
    }
    if (sectionEnd) {
        lines_.insert(lines_.begin() + std::ptrdiff_t(*sectionEnd + 1), std::move(line));
        return;
    }
    if (!lines_.empty() && !trimmed(lines_.back().text).empty())
        lines_.push_back(Line{"", lines_.back().section, {}, false, 0});
    lines_.push_back(Line{"[" + std::string(section) + "]", s, {}, true, 0});
    lines_.push_back(std::move(line));
}

std::string IniDocument::text() const {
    std::string out;
    for (const Line& line : lines_)
        out += line.text + '\n';
    return out;
}

std::string IniDocument::encodeValue(std::string_view value) {
    if (!needsEncoding(value))
        return std::string(value);
    std::string out(kMarker);
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            out += c;
        }
    }
    return out + ')';
}

std::string IniDocument::decodeValue(std::string_view written) {
    if (written.size() < kMarker.size() + 1 || written.substr(0, kMarker.size()) != kMarker ||
        written.back() != ')')
        return std::string(written);
    const std::string_view body =
        written.substr(kMarker.size(), written.size() - kMarker.size() - 1);
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\') {
            out += body[i];
            continue;
        }
        if (++i == body.size())
            return std::string(written);
        switch (body[i]) {
        case '\\':
            out += '\\';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case '0':
            out += '\0';
            break;
        // Not one of ours: the value was written by hand and is taken as it stands.
        default:
            return std::string(written);
        }
    }
    return out;
}

} // namespace kestrun
