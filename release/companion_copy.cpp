#include "release/companion_copy.h"

#include "platform/regular_file.h"
#include "platform/shared_folder.h"

#include <cerrno>
#include <functional>
#include <system_error>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kNewProgramMode = 0755;

bool isRegularFile(const fs::path& file) {
    std::error_code ec;
    return fs::symlink_status(file, ec).type() == fs::file_type::regular;
}

// The name the new content is written under before it takes the installed file's place.
fs::path temporaryBeside(const fs::path& to) {
    return to.parent_path() / ("." + to.filename().string() + ".new");
}

// The mode the new file gets: the one given, else the installed file's (0755 for a new one);
// nullopt when something other than a regular file stands in the installed file's place.
std::optional<unsigned> modeFor(const fs::path& to, std::optional<unsigned> mode) {
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(to, ec);
    const bool fresh = existing.type() == fs::file_type::not_found;
    if (!fresh && existing.type() != fs::file_type::regular)
        return std::nullopt;
    if (mode)
        return mode;
    return fresh ? kNewProgramMode : static_cast<unsigned>(existing.permissions()) & 07777;
}

// Writes the content through `write` to a file made anew at `temp`: a file a run that was
// killed left there is removed first, and nothing else in that place is ever written through.
bool writeNew(const fs::path& temp, unsigned mode,
              const std::function<bool(const FileDescriptor&)>& write) {
    std::error_code ec;
    fs::remove(temp, ec);
    const FileDescriptor out = createNewRegularFile(temp, 0600);
    if (out && write(out) && applyNewFileMode(out, newFileModeIn(temp.parent_path(), mode)) &&
        syncToDisk(out))
        return true;
    if (out)
        fs::remove(temp, ec);
    return false;
}

// Where a program that is running was moved aside so that the new one could take its place.
fs::path asideOf(const fs::path& to) {
    return to.parent_path() / ("." + to.filename().string() + ".old");
}

// Renames the new file over the installed one. A running program's file cannot be replaced on
// every system (Windows keeps it open while it runs, but lets it be renamed): then the installed
// file is moved aside first and put back when the new one still cannot take its place. What
// was moved aside before is removed once its program has ended (a removal that fails leaves it).
bool renameInPlace(const fs::path& temp, const fs::path& to) {
    const fs::path aside = asideOf(to);
    std::error_code ec;
    fs::rename(temp, to, ec);
    bool placed = !ec;
    std::error_code status;
    if (!placed && fs::exists(fs::symlink_status(to, status))) {
        fs::remove(aside, ec);
        fs::rename(to, aside, ec);
        if (!ec) {
            fs::rename(temp, to, ec);
            placed = !ec;
            if (!placed)
                fs::rename(aside, to, ec);
        }
    }
    if (!placed) {
        fs::remove(temp, ec);
        return false;
    }
    fs::remove(aside, ec);
    return true;
}

} // namespace

bool copyProgramInPlace(const fs::path& from, const fs::path& to, std::optional<unsigned> mode) {
    if (!isRegularFile(from))
        return false;
    mode = modeFor(to, mode);
    if (!mode)
        return false;
    const FileDescriptor in = openRegularForReading(from);
    if (!in)
        return false;
    const fs::path temp = temporaryBeside(to);
    return writeNew(temp, *mode, [&](const FileDescriptor& out) { return copyContent(in, out); }) &&
           renameInPlace(temp, to);
}

bool putProgramInPlace(std::string_view content, const fs::path& to, std::optional<unsigned> mode) {
    mode = modeFor(to, mode);
    if (!mode)
        return false;
    const auto temp = writeProgramBeside(content, to, *mode);
    return temp && renameInPlace(*temp, to);
}

std::optional<fs::path> writeProgramBeside(std::string_view content, const fs::path& to,
                                           unsigned mode) {
    const fs::path temp = temporaryBeside(to);
    if (!writeNew(temp, mode, [&](const FileDescriptor& out) { return writeAll(out, content); }))
        return std::nullopt;
    return temp;
}

std::optional<std::string> replacementRefusal(const fs::path& folder) {
    const fs::path made = folder / ".kestrun-replace-probe";
    const fs::path renamed = folder / ".kestrun-replace-probe.new";
    std::error_code ec;
    fs::remove(made, ec); // a probe of a run that was killed
    fs::remove(renamed, ec);
    if (!createNewRegularFile(made, 0600)) {
        const std::error_code why(errno, std::generic_category());
        return "no file can be made in " + folder.string() + " (" + why.message() + ")";
    }
    fs::rename(made, renamed, ec);
    std::error_code removed;
    fs::remove(ec ? made : renamed, removed);
    if (ec)
        return "no file can be renamed in " + folder.string() + " (" + ec.message() + ")";
    return std::nullopt;
}

} // namespace kestrun
