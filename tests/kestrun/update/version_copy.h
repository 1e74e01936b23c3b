#pragma once

#include "common/file_version.h"

#include <filesystem>
#include <string>

namespace kestrun::test {

// The bytes of one of our built executables with another version in its version note, so
// (a PE file: in its version resource) so that a test can publish or install "newer" and
// "older" builds of a real program.
std::string withVersion(const std::string& executable, const FileVersion& version);
// A built executable of build/bin (kestrun, kbm, kvu) with the version, as bytes.
std::string builtWithVersion(const std::string& name, const FileVersion& version);
// The same, written to a file with the mode bits.
void installBuilt(const std::string& name, const FileVersion& version,
                  const std::filesystem::path& file, unsigned mode = 0755);

FileVersion version(unsigned major, unsigned minor, unsigned build, unsigned revision);

} // namespace kestrun::test
