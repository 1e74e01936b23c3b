#pragma once

// What the test helpers ask of the system they run on.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun::test {

// A new folder below the system's temporary folder, private to the user.
std::filesystem::path makeTempDir();
// Sets (or with nullopt unsets) an environment variable of the process.
void setVariable(const std::string& name, const std::optional<std::string>& value);

// The host's sh started with these arguments (see host_programs.h), and what reapHostShell
// needs to reap it once it has ended.
bool startHostShell(const std::vector<std::string>& arguments, long& shell);
void reapHostShell(long shell);
// The host's process id of a process that lives as long as this one (under Wine: the Wine
// server, which opens files for it; it ends a minute after the last program of the prefix).
long hostProcessId();

} // namespace kestrun::test
