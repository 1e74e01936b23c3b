#include "common/log_writer.h"

namespace kestrun {

std::string formatLogLine(const LocalDateTime& when, std::string_view message) {
    std::string line = when.format(kLogStampFormat);
    line += '\t';
    line += message;
    line += "\r\n";
    return line;
}

} // namespace kestrun
