#pragma once

#include "kestrun/update/lan_update.h"

#include <chrono>
#include <cstddef>
#include <string_view>

namespace kestrun {

// Mirrors the update server's distribution files (the client application's language files)
// into the folder of the local client executable: a file is fetched when it is missing or
// older than the server's copy, and a replaced file is kept under its own name followed by
// "-----" and its old time stamp. After at least one change the client application is warned
// and closed. Only plain names are written, so nothing lands outside that folder.
class LanguageMirror {
public:
    static constexpr std::chrono::milliseconds kStallLimit{5000};
    // A file list longer than this is cut off there.
    static constexpr std::size_t kListLimit = 64 * 1024 * 1024;

    explicit LanguageMirror(UpdateEngine engine) : engine_(std::move(engine)) {}

    void update();

private:
    // True when the entry's file was replaced.
    bool mirror(const std::filesystem::path& folder, const std::string& name,
                std::string_view serverStamp);
    // The announced size of the server's file, 0 when it is not available.
    std::int64_t askSize(const std::string& name);
    // Fetches exactly size bytes into the file; false when they did not all arrive.
    bool fetch(const std::filesystem::path& file, const std::string& name, std::int64_t size,
               bool& opened);

    UpdateEngine engine_;
};

// Whether a listed name may be written into the client application's folder: not empty, no
// folder separator of either kind, no "..", no NUL byte.
bool isMirrorableName(std::string_view name);

} // namespace kestrun
