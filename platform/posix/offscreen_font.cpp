#include "platform/offscreen_font.h"

namespace kestrun {

// Offscreen Qt on POSIX finds its fonts, and their substitutes, through fontconfig.
void useInstalledFontOffscreen() {}

} // namespace kestrun
