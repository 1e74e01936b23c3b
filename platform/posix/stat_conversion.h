#pragma once

#include "platform/file_status.h"

#include <sys/stat.h>

namespace kestrun {

// A stat result in the platform-neutral form.
FileStatus toFileStatus(const struct stat& st);

} // namespace kestrun
