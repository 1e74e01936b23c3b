#include "platform/program_launcher.h"

#include "common/text.h"
#include "platform/file_status.h"
#include "platform/program_paths.h"
#include "platform/win32/win32_util.h"

#include <shellapi.h>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

fs::path absoluteOf(const fs::path& path) {
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    return ec ? path : full;
}

bool hasFolder(const std::string& path) {
    return path.find_first_of("/\\:") != std::string::npos;
}

// A program's path as the first word of a command line: quoted, as Windows reads it back.
std::wstring quoted(const fs::path& program) {
    return L"\"" + program.wstring() + L"\"";
}

// The system's text for an error code, without its line end.
std::string errorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(error) : win32::narrow(text);
}

// CreateProcess for what Windows runs by itself; the parameters are the command line's tail,
// which the started program reads as it likes, as ShellExecute passes them.
StartResult createProcess(const fs::path* application, std::wstring commandLine,
                          const fs::path& folder, bool minimised) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(minimised ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL);
    PROCESS_INFORMATION process{};
    // No handle of ours is inherited (the instance mutex, the run lock); a console program gets
    // a console of its own, as it would when started from the desktop.
    if (!::CreateProcessW(application ? application->c_str() : nullptr, commandLine.data(), nullptr,
                          nullptr, FALSE, CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &startup, &process))
        return {std::nullopt, "CreateProcess failed: " + errorText(::GetLastError())};
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<std::int64_t>(process.dwProcessId);
}

// Any other file is opened as the desktop opens it, by its type's program.
StartResult shellOpen(const fs::path& file, const std::wstring& parameters, const fs::path& folder,
                      bool minimised) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    const std::wstring name = file.wstring();
    info.lpFile = name.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    const std::wstring dir = folder.wstring();
    info.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    info.nShow = minimised ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&info))
        return {std::nullopt, "ShellExecuteEx failed: " + errorText(::GetLastError())};
    if (!info.hProcess)
        return std::int64_t{0}; // opened by a program that was already running
    const DWORD pid = ::GetProcessId(info.hProcess);
    ::CloseHandle(info.hProcess);
    return static_cast<std::int64_t>(pid);
}

} // namespace

DetachedProgramLauncher::DetachedProgramLauncher()
    : DetachedProgramLauncher(currentExecutableDir()) {}

DetachedProgramLauncher::DetachedProgramLauncher(fs::path besideFolder)
    : besideFolder_(std::move(besideFolder)) {}

StartResult DetachedProgramLauncher::start(const std::string& path, const std::string& parameters,
                                           const fs::path& workingFolder, bool minimised) {
    if (path.empty())
        return {std::nullopt, "empty path"};
    // A NUL byte would cut the path or the parameters short: some other file would start.
    if (path.find('\0') != std::string::npos || parameters.find('\0') != std::string::npos)
        return {std::nullopt, "a NUL byte in the path or the parameters"};
    const std::string lower = toLowerAscii(path);
    const bool jar = endsWith(lower, ".jar");

    fs::path target;
    fs::path folder = workingFolder;
    if (!hasFolder(path)) {
        const auto found = locateFile(path, workingFolder, besideFolder_, !jar);
        if (!found)
            return {std::nullopt, "not found in the working folder, beside Kestrun or on PATH"};
        target = absoluteOf(*found);
        folder = target.parent_path();
    } else {
        target = absoluteOf(fs::path(win32::widen(path)));
    }
    const auto status = fileStatus(target);
    if (!status)
        return {std::nullopt, "file not found"};
    if (win32::isDeviceName(target))
        return {std::nullopt, "a device name"};
    const std::wstring words = win32::widen(parameters);
    const std::wstring tail = words.empty() ? std::wstring() : L" " + words;

    if (jar) {
        // Java would start and fail on a missing file: that is a failed start.
        if (!status->isRegular)
            return {std::nullopt, "not a regular file"};
        return createProcess(nullptr, L"javaw -jar " + quoted(target) + tail, folder, minimised);
    }
    const std::string suffix = toLowerAscii(target.extension().string());
    if (status->isRegular && (suffix == ".exe" || suffix == ".com"))
        return createProcess(&target, quoted(target) + tail, folder, minimised);
    return shellOpen(target, words, folder, minimised);
}

// The started process is no child of ours here: how it ended is not known.
std::optional<ProgramExit> DetachedProgramLauncher::exitOf(std::int64_t) {
    return std::nullopt;
}

void DetachedProgramLauncher::collectEnded() {}

bool DetachedProgramLauncher::hasEnded(std::int64_t) {
    return false;
}

} // namespace kestrun
