#include "tests/support/host_programs.h"
#include "tests/support/test_support.h"
#include "tests/support/test_support_os.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <fstream>
#include <memory>
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

namespace {

std::wstring wide(const std::string& text) {
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), w.data(), size);
    return w;
}

// One argument of a command line as the C runtime (and Wine, for a Unix program) splits it.
std::wstring quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

} // namespace

ScopedDescriptorLimit::ScopedDescriptorLimit(long) {}
ScopedDescriptorLimit::~ScopedDescriptorLimit() = default;

bool runsUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll"), "wine_get_version") != nullptr;
}

bool systemHasModeBits() {
    return false;
}

bool systemStopsWithSignals() {
    return false;
}

bool runsAsRoot() {
    return false;
}

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
};
using win32Handle = std::unique_ptr<void, HandleCloser>;

// The first process whose executable is the file, opened with the rights asked for besides
// reading its image name; the handle holds the process, so its id is not taken by another.
std::optional<std::pair<long, win32Handle>> openProcessRunningFrom(const fs::path& executable,
                                                                   DWORD rights) {
    const auto lower = [](std::wstring text) {
        ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
        return text;
    };
    const std::wstring wanted = lower(executable.wstring());
    const win32Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE)
        return std::nullopt;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        win32Handle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | rights, FALSE, entry.th32ProcessID));
        if (!process.get())
            continue;
        wchar_t image[MAX_PATH * 4];
        DWORD size = static_cast<DWORD>(std::size(image));
        if (!::QueryFullProcessImageNameW(process.get(), 0, image, &size))
            continue;
        std::error_code ec;
        const fs::path running(std::wstring(image, size));
        if (lower(running.wstring()) == wanted || fs::equivalent(running, executable, ec))
            return std::pair{static_cast<long>(entry.th32ProcessID), std::move(process)};
    }
    return std::nullopt;
}

} // namespace

std::optional<long> processRunningFrom(const fs::path& executable) {
    const auto found = openProcessRunningFrom(executable, 0);
    return found ? std::optional<long>(found->first) : std::nullopt;
}

bool endProcessRunningFrom(const fs::path& executable) {
    const auto found = openProcessRunningFrom(executable, PROCESS_TERMINATE | SYNCHRONIZE);
    if (!found || !::TerminateProcess(found->second.get(), 1))
        return false;
    ::WaitForSingleObject(found->second.get(), 10000);
    return true;
}

long peakMemoryKilobytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

// Wine's own call gives the Unix path of a Windows path; without Wine the path stays as it is.
std::string hostPath(const std::filesystem::path& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    static const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!unixName)
        return path.string();
    char* name = unixName(std::filesystem::absolute(path).c_str());
    if (!name)
        return path.string();
    std::string result = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

// Wine's drive Z: is the host's root folder.
std::filesystem::path fromHostPath(const std::string& unixPath) {
    if (unixPath.empty() || unixPath.front() != '/')
        return unixPath;
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// The host's sh is a Unix program under Wine: it gets no handles of ours and no handle of it is
// given back, so it is watched through its status file alone.
bool startHostShell(const std::vector<std::string>& arguments, long& shell) {
    std::wstring line = quoted(fromHostPath("/bin/sh").wstring());
    for (const std::string& argument : arguments)
        line += L" " + quoted(wide(argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &startup, &process))
        return false;
    if (process.hThread)
        ::CloseHandle(process.hThread);
    if (process.hProcess)
        ::CloseHandle(process.hProcess);
    shell = 0;
    return true;
}

void reapHostShell(long) {}

// Files are opened by the Wine server: its /proc/self is its own.
long hostProcessId() {
    long pid = 0;
    std::ifstream(fromHostPath("/proc/self/stat")) >> pid;
    return pid;
}

} // namespace kestrun::test
