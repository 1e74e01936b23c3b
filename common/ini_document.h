#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// The text of an INI file, kept line by line so that a rewrite changes only the values set.
//
// Reading is forgiving: each line stands on its own, so a line without "=", a section header
// without its "]" or a line of stray bytes is skipped and costs nothing else. A value is the
// whole text after the first "=", exactly as written (blanks, ";", ",", quotes included); the
// key is the text before it without surrounding blanks, matched in any letter case, as is the
// section name. Keys before the first section header belong to [General]. Lines end at LF,
// CR LF or a lone CR. A line whose first non-blank character is ";" or "#" is a comment.
//
// A value that cannot stand on one line as written (it holds a CR, LF or NUL, or begins with
// the marker "@Text(") is written as "@Text(...)" with "\\", "\r", "\n" and "\0" escaped; the
// reader undoes exactly that, so every text written reads back byte for byte, while a plain
// hand-written value is taken as it stands.
class IniDocument {
public:
    IniDocument() = default;
    explicit IniDocument(std::string_view text);

    // The value of the last line that sets the key in the section; nullopt when none does.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    // Replaces the key's value (its last line in the section), or adds the key at the end of
    // the section, adding the section at the end of the text when it is missing.
    void set(std::string_view section, std::string_view key, std::string_view value);

    // The whole text, every line ended by LF; lines that were not set keep their bytes.
    std::string text() const;

    static std::string encodeValue(std::string_view value);
    static std::string decodeValue(std::string_view written);

private:
    struct Line {
        std::string text;
        std::string section; // lower-case name of the section the line lies in
        std::string key;     // lower-case key of a value line, else empty
        bool isHeader = false;
        std::size_t valueStart = 0; // offset of the value in text, for value lines
    };
    static Line classify(std::string text, const std::string& section);

    std::vector<Line> lines_;
};

} // namespace kestrun
