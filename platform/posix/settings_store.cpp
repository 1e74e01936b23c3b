#include "platform/settings_store.h"

#include "common/ini_document.h"
#include "common/number.h"
#include "platform/data_folder.h"
#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSection = "General";
// Far beyond any settings file; a larger file is left alone rather than read into memory.
constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;

enum class FileState { Missing, Regular, Unusable };

struct FileText {
    FileState state = FileState::Missing;
    std::string text;
};

FileText readSettingsFile(const fs::path& file) {
    if (file.empty())
        return {FileState::Unusable, {}};
    std::error_code ec;
    if (!fs::exists(fs::status(file, ec)))
        return {FileState::Missing, {}};
    auto text = readRegularFile(file, kMaxFileBytes);
    if (!text)
        return {FileState::Unusable, {}};
    return {FileState::Regular, std::move(*text)};
}

// Writes the text to a private temporary file beside the target and renames it into place.
// A linked settings file is replaced where the link points.
bool writePrivateFile(const fs::path& file, const std::string& text) {
    std::error_code ec;
    fs::path target = file;
    if (fs::is_symlink(file, ec)) {
        target = fs::weakly_canonical(file, ec);
        if (ec)
            return false;
    }
    fs::create_directories(target.parent_path(), ec);
    std::string temp =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    // mkostemp creates the file with mode 0600 before a byte is written.
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd)
        return false;
    const bool written = setPermissions(fd, S_IRUSR | S_IWUSR) && writeAll(fd, text) &&
                         syncToDisk(fd) && ::close(fd.release()) == 0;
    if (!written || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string_view withoutBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

struct IniSettingsStore::Impl {
    FileState state = FileState::Missing;
    IniDocument document;
    std::vector<std::pair<std::string, std::string>> pending; // name, value
};

IniSettingsStore::IniSettingsStore(fs::path file)
    : file_(std::move(file)), impl_(std::make_unique<Impl>()) {
    FileText content = readSettingsFile(file_);
    impl_->state = content.state;
    if (content.state == FileState::Regular)
        impl_->document = IniDocument(content.text);
}

IniSettingsStore::~IniSettingsStore() = default;

fs::path IniSettingsStore::defaultFile() {
    fs::path base = xdgFolder("XDG_CONFIG_HOME");
    if (base.empty()) {
        const fs::path home = userHomeFolder();
        if (home.empty())
            return {};
        base = home / ".config";
    }
    return base / "Tavisoft" / "Kestrun.conf";
}

bool IniSettingsStore::exists() const {
    return impl_->state == FileState::Regular;
}

std::optional<std::uint32_t> IniSettingsStore::readNumber(std::string_view name) const {
    const auto text = impl_->document.value(kSection, name);
    if (!text)
        return std::nullopt;
    return parseWord32(withoutBlanks(*text));
}

std::optional<std::string> IniSettingsStore::readText(std::string_view name) const {
    auto text = impl_->document.value(kSection, name);
    if (!text || text->size() >= kMaxTextBytes)
        return std::nullopt;
    // A text ends at its first NUL, as a stored terminator would end it.
    if (const auto nul = text->find('\0'); nul != std::string::npos)
        text->resize(nul);
    return text;
}

bool IniSettingsStore::writeNumber(std::string_view name, std::int64_t value) {
    return writeText(name, std::to_string(value));
}

bool IniSettingsStore::writeText(std::string_view name, std::string_view text) {
    impl_->document.set(kSection, name, text);
    impl_->pending.emplace_back(std::string(name), std::string(text));
    return true;
}

bool IniSettingsStore::flush() {
    // The values are set into the file as it is now, so that what someone else wrote into it
    // meanwhile stays.
    FileText content = readSettingsFile(file_);
    if (content.state == FileState::Unusable)
        return false;
    IniDocument document(content.text);
    for (const auto& [name, value] : impl_->pending)
        document.set(kSection, name, value);
    if (!writePrivateFile(file_, document.text()))
        return false;
    impl_->pending.clear();
    impl_->document = std::move(document);
    impl_->state = FileState::Regular;
    return true;
}

} // namespace kestrun
