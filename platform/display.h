#pragma once

namespace kestrun {

// With no display (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM all unset) the programs choose
// Qt's offscreen platform, so they do all their work on a headless machine. Call before the
// application object exists. Returns true when it chose offscreen.
bool chooseOffscreenWithoutDisplay();

} // namespace kestrun
