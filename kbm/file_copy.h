#pragma once

#include <filesystem>

namespace kestrun {

// Copies a regular file over the target through a temporary file in the target's folder that
// is renamed into place, so the target holds either its old or its new content, never a part.
// The copy keeps the source's modification time. False when anything failed; the target is
// then unchanged and no temporary file is left.
bool copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target);

} // namespace kestrun
