#include "platform/display.h"

#include <cstdlib>

namespace kestrun {

bool chooseOffscreenWithoutDisplay() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM"))
        return false;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return true;
}

} // namespace kestrun
