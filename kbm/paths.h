#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// Folders of the run below the data folder, each ending in the system's separator.
std::string markerFolder(const std::filesystem::path& dataFolder);     // <data>/KBM/tmp/
std::string autodeleteFolder(const std::filesystem::path& dataFolder); // <data>/KBM/del/

inline constexpr const char* kQueueFile = "tobkp";

// The run lock guards the queue file, so it lies beside it in the working folder, which every
// user of an installation shares: <working>/tobkp.lock, which only they may open. Only when no
// lock can be taken there (a folder that is not writable, a lock others could open that this
// user may not replace) does the user's own <data>/KBM/kbm.lock stand in.
std::filesystem::path runLockFile(const std::filesystem::path& workingFolder);
std::filesystem::path fallbackRunLockFile(const std::filesystem::path& dataFolder);

// The relative path of a source: its full path without its root (the leading "/", or the drive
// and "\" on Windows), each separator written as the system writes it. nullopt when nothing is
// left or when a ".." component would lead out of the folder it is placed below.
std::optional<std::string> relativePath(std::string_view fullPath);

// True when the path cannot be written as one line of a tab-separated list.
bool hasLineBreakOrTab(std::string_view path);

// Creates every folder above the last separator of the path, each the user's own (0700); failures
// are ignored. For the run's data folder, never below the destination.
void createFoldersAlong(const std::string& path);

// A name as a log line shows it: tabs, line breaks and other control bytes escaped ("\t",
// "\n", "\r", "\x1b"), and a backslash doubled so the escapes stay readable (except where it
// is the separator: Windows names hold no control bytes).
std::string escapedName(std::string_view name);

} // namespace kestrun
