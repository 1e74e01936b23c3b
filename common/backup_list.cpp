#include "common/backup_list.h"

#include "common/text_file.h"

#include "common/file_util.h"
#include "common/number.h"

namespace kestrun {

namespace fs = std::filesystem;

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

void loadIncludeList(const fs::path& workingFolder, BackupList& include) {
    const auto lines = readTextLines(workingFolder / kIncludeListFile);
    if (!lines)
        return;
    for (const std::string& line : *lines)
        if (auto entry = parseIncludeLine(line))
            include.push_back(std::move(*entry));
}

void loadExcludeList(const fs::path& workingFolder, BackupList& exclude) {
    const auto lines = readTextLines(workingFolder / kExcludeListFile);
    if (!lines)
        return;
    for (const std::string& line : *lines)
        exclude.push_back(BackupEntry{line, 0, 0});
}

void saveBackupLists(const fs::path& workingFolder, const BackupList& include,
                     const BackupList& exclude) {
    std::string text;
    for (const BackupEntry& entry : include)
        text += formatIncludeLine(entry);
    replaceFile(workingFolder / kIncludeListFile, text);
    text.clear();
    for (const BackupEntry& entry : exclude)
        text += entry.path + "\r\n";
    replaceFile(workingFolder / kExcludeListFile, text);
}

} // namespace kestrun
