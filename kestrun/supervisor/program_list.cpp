#include "kestrun/supervisor/program_list.h"

#include "platform/list_file.h"
#include "platform/path_rules.h"

#include "common/number.h"
#include "common/text.h"

#include <cstdio>

namespace kestrun {

namespace fs = std::filesystem;

LocalDateTime initialLastStart() {
    return LocalDateTime::fromFields(2019, 1, 1, 0, 0, 0);
}

ProgramEntry parseProgramLine(std::string_view line) {
    ProgramEntry entry;
    if (!line.empty() && line.front() == ' ') {
        entry.disabled = true;
        line.remove_prefix(1);
    }
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos) {
        entry.text = std::string(line);
        return entry;
    }
    entry.text = std::string(line.substr(0, tab));
    std::string_view rest = line.substr(tab + 1);

    const auto comma1 = rest.find(',');
    if (comma1 == std::string_view::npos)
        return entry;
    const auto mode = static_cast<std::uint8_t>(atoiPrefix(rest.substr(0, comma1)));
    rest = rest.substr(comma1 + 1);
    const auto comma2 = rest.find(',');
    if (comma2 == std::string_view::npos)
        return entry;
    entry.weekdays = static_cast<std::uint8_t>(atoiPrefix(rest.substr(0, comma2)));
    rest = rest.substr(comma2 + 1);

    if (mode == 1) {
        entry.mode = ProgramMode::Daily;
        entry.dailyTime = atoiPrefix(rest);
    } else if (mode == 2) {
        entry.mode = ProgramMode::Periodic;
        entry.period = static_cast<std::uint32_t>(atoiPrefix(rest));
    }
    return entry;
}

std::string formatProgramLine(const ProgramEntry& entry) {
    int mode = 0;
    int weekdays = 0;
    long long value = 0;
    switch (entry.mode) {
    case ProgramMode::Daily:
        mode = 1;
        weekdays = entry.weekdays;
        value = entry.dailyTime;
        break;
    case ProgramMode::Periodic:
        mode = 2;
        weekdays = entry.weekdays;
        // Written as the signed 32-bit number it is stored in: 4294967295 reads back from -1.
        value = static_cast<std::int32_t>(entry.period);
        break;
    case ProgramMode::Always:
        break;
    }
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "\t%d,%d,%lld\r\n", mode, weekdays, value);
    std::string line;
    if (entry.disabled)
        line += ' ';
    // A tab or LF in a text (never read from the file; only an editor can put one there)
    // would split the entry when it is read back: it is written as a blank.
    for (char c : entry.text)
        line += c == '\t' || c == '\n' ? ' ' : c;
    line += numbers;
    return line;
}

ProgramList loadProgramList(const fs::path& workingFolder) {
    ProgramList list;
    const auto lines = readListLines(workingFolder / kProgramListFileName);
    if (!lines)
        return list;
    for (const std::string& line : *lines)
        if (!line.empty())
            list.push_back(parseProgramLine(line));
    return list;
}

bool saveProgramList(const ProgramList& list, const fs::path& workingFolder) {
    std::string text;
    for (const auto& entry : list)
        text += formatProgramLine(entry);
    return replaceFile(workingFolder / kProgramListFileName, text);
}

std::optional<ProgramCommand> splitProgramText(std::string_view text) {
    bool minimised = true;
    auto marker = text.find("?m");
    if (marker == std::string_view::npos) {
        minimised = false;
        marker = text.find("?n");
        if (marker == std::string_view::npos)
            return std::nullopt;
    }
    ProgramCommand command;
    command.path = std::string(text.substr(0, marker));
    command.parameters = std::string(text.substr(marker + 2));
    command.minimised = minimised;
    command.lowerPath = toLowerAscii(command.path);
    // A program in a root folder runs there ("/", "C:\"), not in the caller's folder.
    const PathParts parts = splitPath(command.path);
    command.fileName = toLowerAscii(parts.name);
    command.folder = std::string(parts.folder);
    return command;
}

} // namespace kestrun
