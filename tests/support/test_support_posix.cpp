#include "tests/support/test_support_os.h"

#include <cstdlib>
#include <stdexcept>

namespace kestrun::test {

std::filesystem::path makeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrun-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void setVariable(const std::string& name, const std::optional<std::string>& value) {
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

} // namespace kestrun::test
