#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

// Starts programs without waiting for them.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;

    // Starts the file at path (case kept as given) with the parameters, split into words the
    // way a shell splits them (quotes group, no shell runs), in the working folder (empty: the
    // current directory). An executable file runs itself; a ".jar" runs as
    // "java -jar <path> <parameters>"; any other existing file is opened with "xdg-open <path>".
    // A bare name without a folder is looked up in the working folder, then beside the running
    // program, then on PATH (a ".jar" as any regular file, anything else as an executable), and
    // the file found starts in its own folder. minimised is accepted for the callers' sake and
    // has no effect here. Returns the pid of the started process, or nullopt when nothing could
    // be started (nothing found, a NUL byte in the path or the parameters, a failed exec).
    //
    // On Windows the parameters are the command line's tail, as the program reads it itself: an
    // .exe or .com starts with CreateProcess (a console program in a console of its own), a
    // ".jar" as "javaw -jar <path> <parameters>", any other file with ShellExecuteEx "open";
    // minimised shows the program's window minimised and not activated. A bare name is looked
    // up as above, also with ".exe" added, in the folders of PATH split at ";".
    virtual std::optional<std::int64_t> start(const std::string& path,
                                              const std::string& parameters,
                                              const std::filesystem::path& workingFolder,
                                              bool minimised) = 0;
};

// Starts detached processes (a new session, never a zombie of the caller).
class DetachedProgramLauncher final : public ProgramLauncher {
public:
    // Bare names are looked up beside the running executable, or in besideFolder instead.
    DetachedProgramLauncher();
    explicit DetachedProgramLauncher(std::filesystem::path besideFolder);

    std::optional<std::int64_t> start(const std::string& path, const std::string& parameters,
                                      const std::filesystem::path& workingFolder,
                                      bool minimised) override;

private:
    std::filesystem::path besideFolder_;
};

} // namespace kestrun
