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

// The lines of a list file (the program list, the backup lists) without their line ends: only
// LF or CR LF ends a line. Any other CR is part of the line, as a file name may hold one, and
// a list written back with CR LF line ends reads the same again. A last line without a line end
// counts, with any CR it ends in; an empty text has no lines.
std::vector<std::string> splitListLines(std::string_view text);

} // namespace kestrun
