#include "tests/support/test_support.h"
#include "tests/support/host_programs.h"
#include "tests/support/test_support_os.h"

#include "platform/path_rules.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrun::test {

namespace fs = std::filesystem;

TempDir::TempDir() : path_(makeTempDir()) {}

TempDir::~TempDir() {
    std::error_code ec;
    // Give back write permission first so that read-only test files go too.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
         it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()))
        old_ = old;
    setVariable(name_, value);
}

ScopedEnv::~ScopedEnv() {
    setVariable(name_, old_);
}

ScopedCwd::ScopedCwd(const fs::path& dir) : old_(fs::current_path()) {
    fs::current_path(dir);
}

ScopedCwd::~ScopedCwd() {
    std::error_code ec;
    fs::current_path(old_, ec);
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> readLines(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(file));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

fs::path binDir() {
    return fromHostPath(KESTRUN_BIN_DIR);
}
fs::path builtProgram(const std::string& name) {
    return binDir() / (name + std::string(executableSuffix()));
}
fs::path sourceDir() {
    return fromHostPath(KESTRUN_SOURCE_DIR);
}

bool systemMakesLinks() {
    static const bool makes = [] {
        const TempDir dir;
        std::error_code ec;
        fs::create_symlink("target", dir / "link", ec);
        return !ec;
    }();
    return makes;
}

} // namespace kestrun::test
