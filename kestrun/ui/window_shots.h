#pragma once

#include <QIcon>

#include <filesystem>

namespace kestrun {

// Pictures of the new-version notice and the about box at their template sizes, with sample
// contents: "promt_dlg.png" and "about_dlg.png" in the folder. Nothing else is written.
// Returns false when a picture could not be saved.
bool saveNoticeWindowShots(const std::filesystem::path& folder, const QIcon& programIcon);

} // namespace kestrun
