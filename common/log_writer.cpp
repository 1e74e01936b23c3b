#include "common/log_writer.h"

namespace kestrun {

std::string formatLogLine(const LocalDateTime& when, std::string_view message) {
    std::string line = when.format(kLogStampFormat);
    line += '\t';
    line += printableLogMessage(message);
    line += "\r\n";
    return line;
}

std::string printableLogMessage(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
            continue;
        }
        switch (c) {
        case '\t':
            out += c;
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
        default: {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        }
        }
    }
    return out;
}

} // namespace kestrun
