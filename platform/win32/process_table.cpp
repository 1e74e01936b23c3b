#include "platform/process_table.h"

#include "common/text.h"
#include "platform/win32/win32_util.h"

#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>

namespace kestrun {

namespace fs = std::filesystem;
using win32::Handle;

namespace {

bool isJava(std::string_view name) {
    const std::string lower = toLowerAscii(name);
    return lower == "java.exe" || lower == "javaw.exe" || lower == "java" || lower == "javaw";
}

using QueryInformation = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

QueryInformation queryInformation() {
    static const auto query = reinterpret_cast<QueryInformation>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    return query;
}

// The command line through the system's own query (Windows 8.1 and later).
std::optional<std::wstring> queriedCommandLine(HANDLE process) {
    constexpr auto kCommandLineInformation = static_cast<PROCESSINFOCLASS>(60);
    const QueryInformation query = queryInformation();
    ULONG size = 0;
    if (!query || query(process, kCommandLineInformation, nullptr, 0, &size) == 0 || size == 0 ||
        size > 1u << 20)
        return std::nullopt;
    std::vector<unsigned char> buffer(size);
    if (query(process, kCommandLineInformation, buffer.data(), size, &size) != 0)
        return std::nullopt;
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    return std::wstring(text->Buffer, text->Length / sizeof(wchar_t));
}

// The command line read from the process's own memory: its environment block names the
// parameters, which hold the command line.
std::optional<std::wstring> pebCommandLine(HANDLE process) {
    const QueryInformation query = queryInformation();
    PROCESS_BASIC_INFORMATION basic{};
    ULONG size = 0;
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, &size) != 0 ||
        !basic.PebBaseAddress)
        return std::nullopt;
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    SIZE_T got = 0;
    if (!::ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, &got) ||
        !peb.ProcessParameters ||
        !::ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, &got))
        return std::nullopt;
    std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!line.empty() && !::ReadProcessMemory(process, parameters.CommandLine.Buffer, line.data(),
                                              line.size() * sizeof(wchar_t), &got))
        return std::nullopt;
    return line;
}

// The arguments of a command line, split as the C runtime splits them, joined by single blanks.
std::optional<std::string> javaCommandLineOf(HANDLE process) {
    auto line = queriedCommandLine(process);
    if (!line)
        line = pebCommandLine(process);
    if (!line || line->empty())
        return std::nullopt;
    int count = 0;
    LPWSTR* words = ::CommandLineToArgvW(line->c_str(), &count);
    if (!words)
        return std::nullopt;
    std::string joined;
    for (int i = 0; i < count; ++i)
        joined += (i ? " " : "") + win32::narrow(words[i]);
    ::LocalFree(words);
    if (joined.empty())
        return std::nullopt;
    return joined;
}

// Asks every top-level window of the process to close, as its own close box would.
void askToClose(DWORD pid) {
    ::EnumWindows(
        [](HWND window, LPARAM wanted) -> BOOL {
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == static_cast<DWORD>(wanted))
                ::PostMessageW(window, WM_CLOSE, 0, 0);
            return TRUE;
        },
        static_cast<LPARAM>(pid));
}

} // namespace

// The snapshot carries no interpreter's arguments: every program is known by its name.
bool isInterpreterName(std::string_view) {
    return false;
}

std::optional<std::vector<std::string>> ProcessTable::javaCommandLines() {
    const auto all = processes();
    if (!all)
        return std::nullopt;
    std::vector<std::string> lines;
    for (const auto& p : *all)
        if (p.javaCommandLine)
            lines.push_back(*p.javaCommandLine);
    return lines;
}

// The snapshot of the system's processes; the folder of the POSIX table plays no part here.
// Only the processes that run as this user's account count.
ProcProcessTable::ProcProcessTable(Clock& clock, fs::path procRoot)
    : clock_(clock), root_(std::move(procRoot)), viewer_(1) {}

std::optional<std::vector<ProcessInfo>> ProcProcessTable::processes() {
    const Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return std::nullopt;
    std::vector<ProcessInfo> table;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == 0)
            continue; // the idle process
        const std::string name = win32::narrow(entry.szExeFile);
        const bool java = isJava(name);
        const Handle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION |
                              (java ? PROCESS_QUERY_INFORMATION | PROCESS_VM_READ : 0),
                          FALSE, entry.th32ProcessID));
        if (!process || !win32::runsAsCurrentUser(process.get()) || name.empty())
            continue;
        ProcessInfo info;
        info.pid = static_cast<long>(entry.th32ProcessID);
        info.names.push_back(name);
        if (java)
            info.javaCommandLine = javaCommandLineOf(process.get());
        table.push_back(std::move(info));
    }
    std::sort(table.begin(), table.end(),
              [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
    return table;
}

bool ProcProcessTable::closeFirst(std::string_view executableName) {
    const auto table = processes();
    if (!table)
        return false;
    const std::string wanted = toLowerAscii(executableName);
    const long self = static_cast<long>(::GetCurrentProcessId());
    for (const auto& p : *table) {
        if (p.pid == self || std::none_of(p.names.begin(), p.names.end(),
                                          [&](const auto& n) { return toLowerAscii(n) == wanted; }))
            continue;
        const auto pid = static_cast<DWORD>(p.pid);
        const Handle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
        if (!process)
            return false;
        // Its windows are asked to close first; what still runs 1 s later is ended.
        askToClose(pid);
        const std::uint64_t deadline = clock_.monotonicMs() + 1000;
        while (::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            if (clock_.monotonicMs() >= deadline) {
                if (!::TerminateProcess(process.get(), 1))
                    return false;
                // The caller may rely on it being gone (its executable is replaced next).
                ::WaitForSingleObject(process.get(), 500);
                break;
            }
            clock_.sleepFor(std::chrono::milliseconds(20));
        }
        return true;
    }
    return false;
}

} // namespace kestrun
