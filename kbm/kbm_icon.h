#pragma once

#include <QIcon>

namespace kestrun {

// The program icon of the toolset (packaging/kestrun.svg: a blue disc with a white "K"), drawn
// at run time in the sizes windows and trays ask for.
QIcon kbmIcon();

} // namespace kestrun
