#pragma once

#include "platform/clock.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// One running process as the process table sees it.
struct ProcessInfo {
    long pid = 0;
    // The names the process is known by, as the system gives them (case kept): the base name of
    // its executable (of argv[0] only when the executable cannot be read); and for an
    // interpreter that runs a script whose "#!" line names that interpreter, the script's base
    // name.
    std::vector<std::string> names;
};

// The running processes of the machine.
class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // Every process that has a name, in the order the system lists them (ascending pid);
    // nullopt when the table cannot be read at all.
    virtual std::optional<std::vector<ProcessInfo>> processes() = 0;

    // The command lines (arguments joined by single blanks) of the running processes whose
    // executable is "java" or "javaw"; nullopt when the table cannot be read.
    virtual std::optional<std::vector<std::string>> javaCommandLines() = 0;

    // Ends the first process (lowest pid, never the calling process) known by this name (see
    // ProcessInfo::names), compared ASCII case-insensitively: SIGTERM, then SIGKILL if it still
    // lives 1 s later. False when no such process exists or it could not be signalled.
    virtual bool closeFirst(std::string_view executableName) = 0;
};

// The process table read from /proc.
class ProcProcessTable final : public ProcessTable {
public:
    // procRoot is the folder that holds one folder per pid ("/proc"); the clock times the wait
    // of closeFirst.
    explicit ProcProcessTable(Clock& clock, std::filesystem::path procRoot = "/proc");

    std::optional<std::vector<ProcessInfo>> processes() override;
    std::optional<std::vector<std::string>> javaCommandLines() override;
    bool closeFirst(std::string_view executableName) override;

private:
    Clock& clock_;
    std::filesystem::path root_;
};

} // namespace kestrun
