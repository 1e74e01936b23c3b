#include "platform/display.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace kestrun {

// A Windows session always has a desktop to draw on, except the non-interactive one that
// services run in: there the programs choose the offscreen platform, as on a headless machine.
bool chooseOffscreenWithoutDisplay() {
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    if (chosen && *chosen)
        return false;
    const HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    DWORD size = 0;
    if (!station || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &size) ||
        (flags.dwFlags & WSF_VISIBLE) != 0)
        return false;
    ::_putenv_s("QT_QPA_PLATFORM", "offscreen");
    // Offscreen, Qt draws text with its own font engine, which finds no fonts unless told
    // where the system keeps them.
    const char* fonts = std::getenv("QT_QPA_FONTDIR");
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if ((!fonts || !*fonts) && length > 0 && length < MAX_PATH)
        ::_wputenv_s(L"QT_QPA_FONTDIR", (std::wstring(windows, length) + L"\\Fonts").c_str());
    return true;
}

} // namespace kestrun
