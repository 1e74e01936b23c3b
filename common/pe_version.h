#pragma once

#include "common/binary_reader.h"
#include "common/file_version.h"

#include <optional>

namespace kestrun {

// True when the file starts like a PE image ("MZ").
bool looksLikePe(BinaryReader& file);

// The file version of a PE image's first version resource (its VS_FIXEDFILEINFO), or nullopt
// when the image has none or any structure on the way is damaged.
std::optional<FileVersion> readPeVersion(BinaryReader& file);

} // namespace kestrun
