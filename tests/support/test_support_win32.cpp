#include "tests/support/test_support_os.h"

#include <windows.h>

#include <atomic>
#include <random>
#include <stdexcept>

namespace kestrun::test {

namespace fs = std::filesystem;

// Below the user's own temporary folder, under a name no other test has taken: the process's id
// and a count of its own (a folder removed while something still held it open may linger on
// Windows, and MinGW's random numbers may repeat), and a random number besides.
fs::path makeTempDir() {
    static std::atomic<unsigned> made{0};
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path dir = fs::temp_directory_path() /
                             ("kestrun-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                              std::to_string(++made) + "-" + std::to_string(random()));
        if (::CreateDirectoryW(dir.c_str(), nullptr))
            return dir;
    }
    throw std::runtime_error("no temporary folder could be made");
}

// The C runtime's copy of the environment, which getenv reads, and the process's own, which
// the Windows calls and started programs see.
void setVariable(const std::string& name, const std::optional<std::string>& value) {
    const std::string text = value ? *value : std::string();
    ::_putenv_s(name.c_str(), text.c_str());
    const int wide = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, w.data(), wide);
    const std::wstring wname(name.begin(), name.end());
    ::SetEnvironmentVariableW(wname.c_str(), value ? w.c_str() : nullptr);
}

} // namespace kestrun::test
