#include "platform/settings_store.h"

#include "common/ini_document.h"
#include "common/number.h"
#include "platform/regular_file.h"
#include "platform/settings_backend.h"

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

std::string_view withoutBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The values in an INI file: read when the store is made, set into the file as it is then at
// each flush.
class IniFileSettings final : public IniSettingsStore::Impl {
public:
    explicit IniFileSettings(fs::path file) : file_(std::move(file)) {
        FileText content = readSettingsFile(file_);
        state_ = content.state;
        if (content.state == FileState::Regular)
            document_ = IniDocument(content.text);
    }

    bool exists() const override { return state_ == FileState::Regular; }

    std::optional<std::uint32_t> readNumber(std::string_view name) const override {
        const auto text = document_.value(kSection, name);
        if (!text)
            return std::nullopt;
        return parseWord32(withoutBlanks(*text));
    }

    std::optional<std::string> readText(std::string_view name) const override {
        auto text = document_.value(kSection, name);
        if (!text || text->size() >= SettingsStore::kMaxTextBytes)
            return std::nullopt;
        // A text ends at its first NUL, as a stored terminator would end it.
        if (const auto nul = text->find('\0'); nul != std::string::npos)
            text->resize(nul);
        return text;
    }

    bool writeNumber(std::string_view name, std::int64_t value) override {
        return writeText(name, std::to_string(value));
    }

    bool writeText(std::string_view name, std::string_view text) override {
        document_.set(kSection, name, text);
        pending_.emplace_back(std::string(name), std::string(text));
        return true;
    }

    bool flush() override {
        // The values are set into the file as it is now, so that what someone else wrote into
        // it meanwhile stays.
        FileText content = readSettingsFile(file_);
        if (content.state == FileState::Unusable)
            return false;
        IniDocument document(content.text);
        for (const auto& [name, value] : pending_)
            document.set(kSection, name, value);
        if (!writePrivateFile(file_, document.text()))
            return false;
        pending_.clear();
        document_ = std::move(document);
        state_ = FileState::Regular;
        return true;
    }

private:
    fs::path file_;
    FileState state_ = FileState::Missing;
    IniDocument document_;
    std::vector<std::pair<std::string, std::string>> pending_; // name, value
};

} // namespace

std::unique_ptr<IniSettingsStore::Impl> makeIniFileSettings(const fs::path& file) {
    return std::make_unique<IniFileSettings>(file);
}

IniSettingsStore::IniSettingsStore(fs::path file)
    : file_(std::move(file)), impl_(makeSettings(file_)) {}

IniSettingsStore::~IniSettingsStore() = default;

bool IniSettingsStore::exists() const {
    return impl_->exists();
}

std::optional<std::uint32_t> IniSettingsStore::readNumber(std::string_view name) const {
    return impl_->readNumber(name);
}

std::optional<std::string> IniSettingsStore::readText(std::string_view name) const {
    return impl_->readText(name);
}

bool IniSettingsStore::writeNumber(std::string_view name, std::int64_t value) {
    return impl_->writeNumber(name, value);
}

bool IniSettingsStore::writeText(std::string_view name, std::string_view text) {
    return impl_->writeText(name, text);
}

bool IniSettingsStore::flush() {
    return impl_->flush();
}

} // namespace kestrun
