#include "kestrun/update/wire_protocol.h"

#include "common/number.h"

namespace kestrun::wire {

namespace {

std::string withoutCrLfPairs(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string decimal(std::int32_t value) {
    return std::to_string(value);
}

} // namespace

std::string_view untilNul(std::string_view bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

Request matchRequest(std::string_view bytesRead) {
    const std::string_view text = untilNul(bytesRead);
    static constexpr std::pair<std::string_view, RequestKind> kExact[] = {
        {kGetVer, RequestKind::GetVer},     {kDone, RequestKind::Done},
        {kGetState, RequestKind::GetState}, {kFail, RequestKind::Fail},
        {kGetLang, RequestKind::GetLang},
    };
    for (const auto& [command, kind] : kExact)
        if (text == command)
            return {kind, {}};
    if (text.starts_with(kGetFile))
        return {RequestKind::GetFile, withoutCrLfPairs(text.substr(kGetFile.size()))};
    if (text.starts_with(kGetSize))
        return {RequestKind::GetSize, withoutCrLfPairs(text.substr(kGetSize.size()))};
    return {};
}

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos;
}

std::string versionReply(const std::optional<FileVersion>& version) {
    return "ZLM:" + version.value_or(FileVersion{}).text() + "\r";
}

std::string stateReply(std::uint32_t upost, std::uint32_t upull, std::int32_t busy) {
    return decimal(static_cast<std::int32_t>(upost)) + ";" +
           decimal(static_cast<std::int32_t>(upull)) + ";" + decimal(busy) + "\r";
}

std::string listReply(const std::vector<ListEntry>& entries) {
    if (entries.empty())
        return std::string(kEmptyList);
    std::string out;
    for (const ListEntry& e : entries)
        out += e.name + "\t" + e.stamp + "\n";
    return out;
}

std::string sizeReply(std::uint64_t length) {
    return decimal(static_cast<std::int32_t>(static_cast<std::uint32_t>(length))) + "\n";
}

std::string getFileRequest(std::string_view name) {
    return std::string(kGetFile) + std::string(name) + "\r\n";
}

std::string getSizeRequest(std::string_view name) {
    return std::string(kGetSize) + std::string(name) + "\r\n";
}

StateReply parseStateReply(std::string_view reply) {
    StateReply state;
    const auto first = reply.find(';');
    if (first == std::string_view::npos)
        return state;
    state.upost = atoiPrefix(reply.substr(0, first));
    const std::string_view rest = reply.substr(first + 1);
    const auto second = rest.find(';');
    if (second == std::string_view::npos)
        return state;
    state.upull = atoiPrefix(rest.substr(0, second));
    state.busy = atoiPrefix(rest.substr(second + 1));
    return state;
}

std::optional<FileVersion> parseVersionReply(std::string_view reply) {
    if (!reply.starts_with("ZLM:"))
        return std::nullopt;
    return parseVersionText(reply.substr(4));
}

std::vector<ListEntry> parseFileList(std::string_view reply) {
    std::vector<ListEntry> entries;
    if (reply.starts_with(kEmptyList))
        return entries;
    for (auto end = reply.find('\n'); end != std::string_view::npos; end = reply.find('\n')) {
        const std::string_view line = reply.substr(0, end);
        reply.remove_prefix(end + 1);
        const auto tab = line.find('\t');
        if (tab == std::string_view::npos)
            continue;
        entries.push_back({std::string(line.substr(0, tab)), std::string(line.substr(tab + 1))});
    }
    return entries;
}

std::optional<LocalDateTime> parseStamp(std::string_view stamp) {
    if (stamp.size() != 12 || stamp.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const auto field = [&](std::size_t at) {
        return (stamp[at] - '0') * 10 + (stamp[at + 1] - '0');
    };
    const int year = field(0);
    const LocalDateTime when = LocalDateTime::fromFields(
        year < 69 ? 2000 + year : 1900 + year, field(2), field(4), field(6), field(8), field(10));
    if (!when.valid())
        return std::nullopt;
    return when;
}

std::int32_t parseSizeReply(std::string_view reply) {
    return atoiPrefix(reply);
}

} // namespace kestrun::wire
