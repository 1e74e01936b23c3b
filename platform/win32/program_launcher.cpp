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

// CreateProcess for what Windows runs by itself; the parameters are the command line's tail,
// which the started program reads as it likes, as ShellExecute passes them.
std::optional<std::int64_t> createProcess(const fs::path* application, std::wstring commandLine,
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
        return std::nullopt;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<std::int64_t>(process.dwProcessId);
}

// Any other file is opened as the desktop opens it, by its type's program.
std::optional<std::int64_t> shellOpen(const fs::path& file, const std::wstring& parameters,
                                      const fs::path& folder, bool minimised) {
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
        return std::nullopt;
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

std::optional<std::int64_t> DetachedProgramLauncher::start(const std::string& path,
                                                           const std::string& parameters,
                                                           const fs::path& workingFolder,
                                                           bool minimised) {
    // A NUL byte would cut the path or the parameters short: some other file would start.
    if (path.empty() || path.find('\0') != std::string::npos ||
        parameters.find('\0') != std::string::npos)
        return std::nullopt;
    const std::string lower = toLowerAscii(path);
    const bool jar = endsWith(lower, ".jar");

    fs::path target;
    fs::path folder = workingFolder;
    if (!hasFolder(path)) {
        const auto found = locateFile(path, workingFolder, besideFolder_, !jar);
        if (!found)
            return std::nullopt;
        target = absoluteOf(*found);
        folder = target.parent_path();
    } else {
        target = absoluteOf(fs::path(win32::widen(path)));
    }
    const auto status = fileStatus(target);
    if (!status || win32::isDeviceName(target))
        return std::nullopt;
    const std::wstring words = win32::widen(parameters);
    const std::wstring tail = words.empty() ? std::wstring() : L" " + words;

    if (jar) {
        // Java would start and fail on a missing file: that is a failed start.
        if (!status->isRegular)
            return std::nullopt;
        return createProcess(nullptr, L"javaw -jar " + quoted(target) + tail, folder, minimised);
    }
    const std::string suffix = toLowerAscii(target.extension().string());
    if (status->isRegular && (suffix == ".exe" || suffix == ".com"))
        return createProcess(&target, quoted(target) + tail, folder, minimised);
    return shellOpen(target, words, folder, minimised);
}

} // namespace kestrun
