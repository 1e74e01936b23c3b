#pragma once

// How the process table tells a script's process: the interpreters that run scripts, the
// interpreter a script's "#!" line names, and where that interpreter really lives.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// The part of a path after its last "/".
std::string_view baseName(std::string_view path);

// Version digits that follow an interpreter's name: "python3.11", "perl5.36.0", "tclsh8.6".
std::string_view withoutVersion(std::string_view name);

// Executables that run scripts: only their processes have their arguments looked at, so a
// scan never opens the files that other programs (viewers, editors, "tail -f") name.
bool isInterpreterLike(std::string_view exeBase);

// The interpreter a script's first line names: the path after "#!", or for "#!/usr/bin/env"
// the program that env runs (its first word that is neither an option nor a variable).
std::optional<std::string> shebangInterpreter(std::string_view head);

// The real executables of the interpreters that scripts name, each resolved once per scan:
// a path through its links (/bin/sh is dash, /usr/bin/python3 is python3.11), a bare name (of
// "#!/usr/bin/env NAME") as env finds it on the PATH it was given.
class InterpreterResolver {
public:
    std::optional<std::string> resolve(const std::string& interpreter, std::string_view searchPath);

private:
    static std::optional<std::string> realPath(const std::filesystem::path& file);
    static std::optional<std::string> lookUp(const std::string& interpreter, std::string_view rest);

    std::map<std::string, std::optional<std::string>> cache_;
};

} // namespace kestrun
