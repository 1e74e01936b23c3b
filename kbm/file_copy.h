#pragma once

#include "platform/folder_handle.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrun {

// Copies a regular file over the file `name` in an open folder through a temporary file there
// that is renamed into place, so the target holds either its old or its new content, never a
// part. The copy keeps the source's modification time and permission bits (without set-user
// and set-group bits: the copy belongs to whoever runs the backup). A source that is no
// regular file (a FIFO, a device) is refused without waiting on it, and so is a target that
// is a link or a folder; nothing is written through a link. The copy and its name are flushed
// to the disk before it counts as made. False when anything failed; the target is then
// unchanged and no temporary file is left, unless only the last flush of the folder failed.
//
// The temporary name is short whatever the target's name (".kbm-" and a hash of the name), and
// always the same for one target: a copy cut short by a kill or a power cut leaves a file that
// the next copy of that target replaces.
bool copyFileAtomically(const std::filesystem::path& source, const FolderHandle& folder,
                        const std::string& name);

// The temporary name used for a target's file name.
std::string copyTemporaryName(std::string_view targetName);
// True for a name that copyTemporaryName can give (a leftover, never a copy).
bool isCopyTemporaryName(std::string_view name);

} // namespace kestrun
