#pragma once

// What the test helpers ask of the system they run on.

#include <filesystem>
#include <optional>
#include <string>

namespace kestrun::test {

// A new folder below the system's temporary folder, private to the user.
std::filesystem::path makeTempDir();
// Sets (or with nullopt unsets) an environment variable of the process.
void setVariable(const std::string& name, const std::optional<std::string>& value);

} // namespace kestrun::test
