#include "kbm/queue_file.h"

#include "common/number.h"

namespace kestrun {

std::string formatQueueLine(std::string_view source, std::int32_t code) {
    std::string line(source);
    line += '\t';
    line += std::to_string(code);
    line += "\r\n";
    return line;
}

std::optional<QueueItem> parseQueueLine(std::string_view line) {
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos)
        return std::nullopt;
    return QueueItem{std::string(line.substr(0, tab)), atoiPrefix(line.substr(tab + 1))};
}

} // namespace kestrun
