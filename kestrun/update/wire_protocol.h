#pragma once

#include "common/file_version.h"
#include "common/local_date_time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The LAN update protocol: one request per TCP connection, plain 8-bit text, no framing.
namespace kestrun::wire {

inline constexpr std::size_t kReadSize = 1024; // one read of either side
inline constexpr std::uint16_t kDefaultPort = 10201;

inline constexpr std::string_view kGetVer = "getVer\r\n";
inline constexpr std::string_view kDone = "Done\r\n";
inline constexpr std::string_view kGetState = "getState\r\n";
inline constexpr std::string_view kFail = "Fail\r\n";
inline constexpr std::string_view kGetLang = "getLang\r\n";
inline constexpr std::string_view kGetFile = "getFile:";
inline constexpr std::string_view kGetSize = "getSize:";
inline constexpr std::string_view kEmptyList = "Empty";
inline constexpr std::string_view kUnavailable = "0\n";

// ---- server side ----

enum class RequestKind { GetVer, Done, GetState, Fail, GetLang, GetFile, GetSize, Other };

struct Request {
    RequestKind kind = RequestKind::Other;
    std::string name; // the file of GetFile and GetSize
};

// What one read delivered, taken up to its first NUL: the five commands match only the whole
// text exactly; then "getFile:" and "getSize:" match as prefixes, and their name is the rest
// with every CR LF pair removed.
Request matchRequest(std::string_view bytesRead);

// True when a drop-folder name may be served or stored: not empty, no folder separator of
// either kind, and neither "." nor "..".
bool isPlainFileName(std::string_view name);

// "ZLM:%d.%d.%d.%d\r", all four 0 without a version.
std::string versionReply(const std::optional<FileVersion>& version);
// "%d;%d;%d\r"
std::string stateReply(std::uint32_t upost, std::uint32_t upull, std::int32_t busy);

struct ListEntry {
    std::string name;
    std::string stamp; // "%y%m%d%H%M%S", local time of the last modification
};
// One "%s\t%s\n" line per file, or "Empty" without any.
std::string listReply(const std::vector<ListEntry>& entries);
// "%d\n" with the low 32 bits of the length.
std::string sizeReply(std::uint64_t length);

// ---- client side ----

std::string getFileRequest(std::string_view name);
std::string getSizeRequest(std::string_view name);

// Text up to the first NUL, as a client takes a one-read reply.
std::string_view untilNul(std::string_view bytes);

struct StateReply {
    std::optional<std::int32_t> upost;
    std::optional<std::int32_t> upull;
    std::optional<std::int32_t> busy; // set together with upull
};
// "Upost;Upull;busy": nothing without a first ";", only Upost without a second one.
StateReply parseStateReply(std::string_view reply);

// "ZLM:" at the first byte, then a version text; nullopt otherwise.
std::optional<FileVersion> parseVersionReply(std::string_view reply);

// The lines of a file list: "Empty" at the start means none; text after the last "\n" and
// lines without a tab are ignored; each line splits at its first tab.
std::vector<ListEntry> parseFileList(std::string_view reply);

// A list entry's stamp "%y%m%d%H%M%S" as a local date and time (a two-digit year 69 to 99 in
// the 1900s, else in the 2000s); nullopt unless it is 12 digits naming a real date and time.
std::optional<LocalDateTime> parseStamp(std::string_view stamp);

// The size reply's number, read like atoi; 0 means the file is not available.
std::int32_t parseSizeReply(std::string_view reply);

} // namespace kestrun::wire
