#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrun {

// The marker of a source file: an empty file whose modification time records when the source
// was last queued. While its copy is still to be made the marker holds one byte ("pending"),
// so a run that ends before the copy (killed, power cut) leaves a marker that the next scan
// takes for a missing one and the file is queued again.

// The marker's time in whole seconds when it records a finished copy; nullopt when the marker
// is missing or still pending.
std::optional<std::int64_t> settledMarkerTime(const std::string& marker);

// Creates the marker (and the folders along it) or empties it, stamped with the present;
// pending when a copy of its file is queued. False when it cannot be written.
bool queueMarker(const std::string& marker, bool pending);

// After a successful copy: the pending marker becomes empty and keeps its time.
void settleMarker(const std::string& marker);

// After a failed copy: the marker goes, so the next run queues its file as a new one.
void dropMarker(const std::string& marker);

} // namespace kestrun
