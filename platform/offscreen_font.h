#pragma once

namespace kestrun {

// Offscreen, Qt for Windows draws text with its own font engine, which knows only the fonts of
// its folder and no substitutes: a window whose font names a family it lacks shows boxes. There
// the application takes a family the engine has; elsewhere (and on a desktop) nothing changes.
// Call once the application object exists.
void useInstalledFontOffscreen();

} // namespace kestrun
