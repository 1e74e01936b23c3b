#pragma once

#include <QString>

#include <optional>

class QFileInfo;
class QWidget;

namespace kestrun {

// Whether the executable chooser's first filter shows the file: it has an execute bit or ends
// in ".exe" or ".jar" (any letter case). Folders are always shown, so the user can walk them.
bool showsAsExecutable(const QFileInfo& file);

// The file chooser of the executable fields, with the filters "Executable Files (*.exe)" and
// "All Files (*.*)". Executables here rarely carry an extension, so the first filter is decided
// per file. nullopt when cancelled.
std::optional<QString> chooseExecutableFile(QWidget* parent);

} // namespace kestrun
