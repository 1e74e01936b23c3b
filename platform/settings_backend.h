#pragma once

// Inside the settings store: where its values are kept, chosen by the system's half.

#include "platform/settings_store.h"

namespace kestrun {

struct IniSettingsStore::Impl {
    virtual ~Impl() = default;
    virtual bool exists() const = 0;
    virtual std::optional<std::uint32_t> readNumber(std::string_view name) const = 0;
    virtual std::optional<std::string> readText(std::string_view name) const = 0;
    virtual bool writeNumber(std::string_view name, std::int64_t value) = 0;
    virtual bool writeText(std::string_view name, std::string_view text) = 0;
    virtual bool flush() = 0;
};

// The values in an INI file (see IniSettingsStore).
std::unique_ptr<IniSettingsStore::Impl> makeIniFileSettings(const std::filesystem::path& file);

// The system's choice for the store's place: the INI file, or on Windows the registry key when
// the place names one.
std::unique_ptr<IniSettingsStore::Impl> makeSettings(const std::filesystem::path& place);

// Writes the text to a temporary file beside the target that only this user may read, and
// renames it into place. A linked settings file is replaced where the link points.
bool writePrivateFile(const std::filesystem::path& file, const std::string& text);

} // namespace kestrun
