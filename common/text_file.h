#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// The largest text file that is read (see platform/list_file.h); a larger one cannot be read.
inline constexpr std::uintmax_t kMaxTextFileBytes = 64u * 1024 * 1024;

// The lines of a text without their line ends (LF, CR LF, CR CR LF, or a CR alone). A last line
// without a line end counts; an empty text has no lines.
std::vector<std::string> splitTextLines(std::string_view text);

} // namespace kestrun
