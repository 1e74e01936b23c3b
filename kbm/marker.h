#pragma once

#include "platform/file_status.h"
#include "platform/folder_handle.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrun {

// The marker of a source file: an empty file whose modification time records when the source
// was last queued. While its copy is still to be made the marker is one byte long ("pending"),
// so a run that ends before the copy (killed, power cut) leaves a marker that the next scan
// takes for a missing one and the file is queued again. A copy whose source changed while it
// was made leaves it two bytes long: pending as well, but on purpose, not the trace of a
// cut-off run. Only the size counts, not the bytes. A marker that cannot be made pending goes.

// What a scan knows of a marker before it decides on its file.
struct MarkerState {
    bool present = false; // something is in the marker's place (a marker, pending or not)
    std::optional<FileTime> settledTime; // its time when it records a finished copy
    std::optional<FileTime> anyTime;     // its time, settled or pending
    bool unfinished = false;             // pending since a run that did not complete
};

// Reads and writes the markers of the files of one include entry. The files of a folder reach
// it together, so it holds the marker folder of the last file open: that folder is made (or
// found) once for all of them. While it is a folder this writer made, it holds only markers of
// files already decided (an entry never names a file twice), so the markers of its further
// files need no status call: they are missing. Below the marker folder every folder is reached
// from it without following a link, and a marker is never read or written through one.
class MarkerWriter {
public:
    // `markerFolder` (ending in a separator) is the tree of markers, all kbm's own: what stands in
    // a marker's way inside it is replaced (see queue). Without it nothing is.
    explicit MarkerWriter(std::string markerFolder = {}) : root_(std::move(markerFolder)) {}

    // One status call, none in a folder this writer made for an earlier file.
    MarkerState state(const std::string& marker);

    // Creates the marker (and the folders along it) or empties it, stamped with the present;
    // pending when a copy of its file is queued. `state` is what state() told of it. When the
    // source changed between a file and a folder since it was queued, a stale marker stands
    // where a folder of markers is needed, or a folder of markers where the marker goes: that
    // goes, links as links. False when it cannot be written.
    bool queue(const std::string& marker, const MarkerState& state, bool pending);

private:
    enum class Folder {
        Unknown,
        Present,
        Missing, // not there when a marker in it was looked at
        Own,     // made by this writer
    };
    void enter(std::string_view folder);

    std::string root_;
    std::string folder_; // the marker folder of the last file, without its separator
    Folder known_ = Folder::Unknown;
    FolderHandle open_; // folder_, once it was looked for and found or made
};

// What the copy phase does with a marker, reached as MarkerWriter reaches it below the marker
// folder (ending in a separator), never through a link.

// After a successful copy: the pending marker becomes empty and keeps its time.
void settleMarker(const std::string& marker, const std::string& markerFolder = {});

// After a copy whose source changed meanwhile: the marker stays pending, so the next run
// copies the file again.
void keepMarkerPending(const std::string& marker, const std::string& markerFolder = {});

// After a failed copy: the marker goes, so the next run queues its file as a new one.
void dropMarker(const std::string& marker, const std::string& markerFolder = {});

} // namespace kestrun
