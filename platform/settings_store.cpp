#include "platform/settings_store.h"

#include "common/number.h"

#include <QSettings>

#include <QStringList>
#include <fstream>

namespace kestrun {

namespace fs = std::filesystem;

struct IniSettingsStore::Impl {
    explicit Impl(const fs::path& file)
        : settings(QString::fromStdString(file.string()), QSettings::IniFormat) {}
    QSettings settings;
};

namespace {

QString key(std::string_view name) {
    return QString::fromUtf8(name.data(), qsizetype(name.size()));
}

// The value as the file holds it; a value that Qt split at commas is joined again.
std::optional<std::string> rawText(const QSettings& s, std::string_view name) {
    const QVariant v = s.value(key(name));
    if (!v.isValid())
        return std::nullopt;
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(',')).toStdString();
    if (!v.canConvert<QString>())
        return std::nullopt;
    return v.toString().toStdString();
}

} // namespace

IniSettingsStore::IniSettingsStore(fs::path file)
    : file_(std::move(file)), impl_(std::make_unique<Impl>(file_)) {}

IniSettingsStore::~IniSettingsStore() = default;

fs::path IniSettingsStore::defaultFile() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    fs::path base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = fs::path(home && *home ? home : "/tmp") / ".config";
    }
    return base / "Tavisoft" / "Kestrun.conf";
}

bool IniSettingsStore::exists() const {
    std::error_code ec;
    return fs::is_regular_file(file_, ec) && impl_->settings.status() == QSettings::NoError;
}

std::optional<std::uint32_t> IniSettingsStore::readNumber(std::string_view name) const {
    if (impl_->settings.status() != QSettings::NoError)
        return std::nullopt;
    const auto text = rawText(impl_->settings, name);
    if (!text)
        return std::nullopt;
    return parseWord32(*text);
}

std::optional<std::string> IniSettingsStore::readText(std::string_view name) const {
    if (impl_->settings.status() != QSettings::NoError)
        return std::nullopt;
    auto text = rawText(impl_->settings, name);
    if (!text || text->size() >= kMaxTextBytes)
        return std::nullopt;
    // A text ends at its first NUL, as a stored terminator would end it.
    if (const auto nul = text->find('\0'); nul != std::string::npos)
        text->resize(nul);
    return text;
}

bool IniSettingsStore::writeNumber(std::string_view name, std::int64_t value) {
    impl_->settings.setValue(key(name), QString::number(value));
    return true;
}

bool IniSettingsStore::writeText(std::string_view name, std::string_view text) {
    impl_->settings.setValue(key(name), QString::fromUtf8(text.data(), qsizetype(text.size())));
    return true;
}

bool IniSettingsStore::flush() {
    // The file holds the FTP password: it is private from its first byte on.
    std::error_code ec;
    if (!fs::exists(file_, ec)) {
        fs::create_directories(file_.parent_path(), ec);
        std::ofstream(file_, std::ios::binary).flush();
        fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ec);
    }
    impl_->settings.sync();
    if (fs::exists(file_, ec))
        fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ec);
    return impl_->settings.status() == QSettings::NoError;
}

} // namespace kestrun
