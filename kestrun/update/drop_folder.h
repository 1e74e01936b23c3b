#pragma once

#include "kestrun/update/wire_protocol.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrun {

// The update server's folder of distribution files. Only regular files that lie inside it are
// offered or served: a name with a folder part, "." or "..", or a link that leads out of the
// folder names nothing.
class DropFolder {
public:
    static constexpr const char* kName = "Drop";

    explicit DropFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    const std::filesystem::path& path() const { return folder_; }
    // Creates the folder (in a folder its group shares, the group's: 2770); an existing one is
    // left as it is. False when it cannot be made.
    bool create() const;
    // The file a request's name stands for, resolved through links, or nullopt.
    std::optional<std::filesystem::path> servable(std::string_view name) const;
    // Every servable file with its modification stamp, in the order the listing yields them;
    // a file whose status cannot be read, or whose name holds a control character, is left
    // out.
    std::vector<wire::ListEntry> list() const;

private:
    std::filesystem::path folder_;
};

} // namespace kestrun
