// Runs as a real process for the Windows platform tests; it ends by itself after a minute.
//   report <file>      writes its working folder, its command line and how it was asked to
//                      show its window, one line each, then idles (copied as java.exe too)
//   hold <name> <file> takes the instance lock of that name, writes "acquired" or "busy", and
//                      idles while it holds it
//   pid <file>         writes its process id, then idles for ten minutes (a supervised
//                      program of the Windows check, ended by that id)

#include "platform/single_instance.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

void writeLines(const char* file, const std::string& text) {
    const std::string temp = std::string(file) + ".part";
    {
        std::ofstream out(temp, std::ios::binary);
        out << text;
    }
    std::filesystem::rename(temp, file); // whole, or not at all
}

std::string narrow(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "report" && argc > 2) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        ::GetStartupInfoW(&startup);
        const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
        writeLines(argv[2], std::filesystem::current_path().string() + "\n" +
                                narrow(::GetCommandLineW()) + "\n" + std::to_string(show) + "\n");
    } else if (mode == "hold" && argc > 3) {
        const kestrun::SingleInstanceLock lock(argv[2]);
        writeLines(argv[3], lock.acquired() ? "acquired\n" : "busy\n");
        if (!lock.acquired())
            return 1;
        std::this_thread::sleep_for(std::chrono::minutes(1));
        return 0;
    } else if (mode == "pid" && argc > 2) {
        writeLines(argv[2], std::to_string(::GetCurrentProcessId()) + "\n");
        std::this_thread::sleep_for(std::chrono::minutes(10));
        return 0;
    } else {
        return 2;
    }
    std::this_thread::sleep_for(std::chrono::minutes(1));
    return 0;
}
