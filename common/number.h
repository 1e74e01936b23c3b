#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrun {

// Reads a number the way atoi does: leading blanks skipped, an optional sign, then decimal
// digits up to the first other character. No digits give 0; a value beyond the 32-bit range
// is clamped to it.
std::int32_t atoiPrefix(std::string_view text);

// Reads a whole text as one decimal number (optional sign, digits, nothing else) that fits in
// 32 bits, signed or unsigned, and returns its 32 bits; nullopt for anything else.
std::optional<std::uint32_t> parseWord32(std::string_view text);

} // namespace kestrun
