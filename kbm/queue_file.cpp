#include "kbm/queue_file.h"

#include "common/number.h"
#include "platform/folder_handle.h"
#include "platform/shared_folder.h"

namespace kestrun {

FileDescriptor createQueueFile(const std::filesystem::path& queueFile) {
    const FolderHandle folder = FolderHandle::open(queueFile.parent_path());
    const std::string name = queueFile.filename().string();
    const std::string temporary = "." + name + ".new";
    folder.removeFile(temporary); // a leftover of a run that was cut short
    const NewFileMode mode = newFileModeIn(queueFile.parent_path(), 0600);
    FileDescriptor fd = folder.createFile(temporary, 0600);
    if (!fd)
        return fd;
    applyNewFileMode(fd, mode);
    if (!folder.rename(temporary, name)) {
        folder.removeFile(temporary);
        return {};
    }
    return fd;
}

std::string formatQueueLine(std::string_view source, std::int32_t code) {
    std::string line(source);
    line += '\t';
    line += std::to_string(code);
    line += "\r\n";
    return line;
}

bool readQueueLine(std::istream& in, std::string& line) {
    line.clear();
    bool any = false;
    char c = 0;
    while (in.get(c)) { // a read error ends the stream like its end
        any = true;
        if (c == '\n')
            return true;
        if (c == '\r') {
            if (in.peek() == '\n')
                in.get(c);
            return true;
        }
        line += c;
    }
    return any;
}

std::optional<QueueItem> parseQueueLine(std::string_view line) {
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos)
        return std::nullopt;
    return QueueItem{std::string(line.substr(0, tab)), atoiPrefix(line.substr(tab + 1))};
}

} // namespace kestrun
