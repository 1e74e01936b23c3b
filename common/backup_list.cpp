#include "common/backup_list.h"

#include "common/file_util.h"
#include "common/number.h"

namespace kestrun {

std::optional<BackupEntry> parseIncludeLine(std::string_view line) {
    const auto firstTab = line.find('\t');
    if (firstTab == std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = line.substr(firstTab + 1);
    const auto secondTab = rest.find('\t');
    if (secondTab == std::string_view::npos)
        return std::nullopt;
    BackupEntry entry;
    entry.path = std::string(line.substr(0, firstTab));
    entry.mode = atoiPrefix(rest.substr(0, secondTab));
    entry.kind = atoiPrefix(rest.substr(secondTab + 1));
    return entry;
}

std::string formatIncludeLine(const BackupEntry& entry) {
    return entry.path + '\t' + std::to_string(entry.mode) + '\t' + std::to_string(entry.kind) +
           "\r\n";
}

void appendIncludeEntries(const std::optional<std::vector<std::string>>& lines,
                          BackupList& include) {
    if (!lines)
        return;
    for (const std::string& line : *lines)
        if (auto entry = parseIncludeLine(line))
            include.push_back(std::move(*entry));
}

void appendExcludeEntries(const std::optional<std::vector<std::string>>& lines,
                          BackupList& exclude) {
    if (!lines)
        return;
    for (const std::string& line : *lines)
        exclude.push_back(BackupEntry{line, 0, 0});
}

std::string includeListText(const BackupList& include) {
    std::string text;
    for (const BackupEntry& entry : include)
        text += formatIncludeLine(entry);
    return text;
}

std::string excludeListText(const BackupList& exclude) {
    std::string text;
    for (const BackupEntry& entry : exclude)
        text += entry.path + "\r\n";
    return text;
}

} // namespace kestrun
