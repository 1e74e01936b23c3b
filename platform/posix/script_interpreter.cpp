#include "platform/posix/script_interpreter.h"

#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <unistd.h>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;

std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view withoutVersion(std::string_view name) {
    while (!name.empty() && (std::isdigit(static_cast<unsigned char>(name.back())) ||
                             name.back() == '.' || name.back() == '-'))
        name.remove_suffix(1);
    return name;
}

bool isInterpreterLike(std::string_view exeBase) {
    static constexpr std::string_view kInterpreters[] = {
        "sh",     "ash",  "bash", "dash",    "ksh",     "mksh",   "pdksh", "yash", "zsh",    "fish",
        "csh",    "tcsh", "posh", "busybox", "python",  "pypy",   "perl",  "ruby", "jruby",  "node",
        "nodejs", "deno", "bun",  "php",     "lua",     "luajit", "tclsh", "wish", "expect", "awk",
        "gawk",   "mawk", "nawk", "guile",   "rscript", "pwsh",   "julia"};
    const std::string name = toLowerAscii(withoutVersion(exeBase));
    return std::find(std::begin(kInterpreters), std::end(kInterpreters), name) !=
           std::end(kInterpreters);
}

std::optional<std::string> shebangInterpreter(std::string_view head) {
    if (head.size() < 2 || head.substr(0, 2) != "#!")
        return std::nullopt;
    head.remove_prefix(2);
    head = head.substr(0, head.find('\n'));
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < head.size()) {
        while (i < head.size() && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r'))
            ++i;
        std::size_t e = i;
        while (e < head.size() && head[e] != ' ' && head[e] != '\t' && head[e] != '\r')
            ++e;
        if (e > i)
            words.push_back(head.substr(i, e - i));
        i = e;
    }
    if (words.empty())
        return std::nullopt;
    if (baseName(words[0]) != "env")
        return std::string(words[0]);
    for (std::size_t w = 1; w < words.size(); ++w)
        if (words[w][0] != '-' && words[w].find('=') == std::string_view::npos)
            return std::string(words[w]);
    return std::nullopt;
}

std::optional<std::string> InterpreterResolver::resolve(const std::string& interpreter,
                                                        std::string_view searchPath) {
    std::string key = interpreter;
    if (interpreter.find('/') == std::string::npos)
        key.append(1, '\0').append(searchPath);
    const auto known = cache_.find(key);
    if (known != cache_.end())
        return known->second;
    return cache_[key] = lookUp(interpreter, searchPath);
}

std::optional<std::string> InterpreterResolver::realPath(const fs::path& file) {
    std::error_code ec;
    const fs::path real = fs::canonical(file, ec);
    if (ec || !fs::is_regular_file(real, ec))
        return std::nullopt;
    return real.string();
}

std::optional<std::string> InterpreterResolver::lookUp(const std::string& interpreter,
                                                       std::string_view rest) {
    if (interpreter.find('/') != std::string::npos)
        return realPath(interpreter);
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        const fs::path candidate = fs::path(dir) / interpreter;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            if (auto real = realPath(candidate))
                return real;
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

} // namespace kestrun
