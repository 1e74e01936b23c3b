#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

// A per-user store of named 32-bit numbers and texts.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // False when the store does not exist yet (nothing was ever saved).
    virtual bool exists() const = 0;
    // The value's 32 bits; nullopt when missing or not a number.
    virtual std::optional<std::uint32_t> readNumber(std::string_view name) const = 0;
    // The text; nullopt when missing or when it is kMaxTextBytes bytes or longer.
    virtual std::optional<std::string> readText(std::string_view name) const = 0;

    // A batch of writes; returns false when the store cannot be created or written.
    virtual bool writeNumber(std::string_view name, std::int64_t value) = 0;
    virtual bool writeText(std::string_view name, std::string_view text) = 0;
    // Makes the writes durable; false when the store could not be written.
    virtual bool flush() = 0;

    static constexpr std::size_t kMaxTextBytes = 260;
};

// The store as an INI file: keys under [General], numbers as decimal text, each line read on its
// own (see IniDocument). The file is private (mode 0600, it holds the FTP password): it is
// written whole to a 0600 temporary file in its folder and renamed into place, so a reader
// sees the old file or the new one, and no other user can read it at any moment. Only a
// regular file is read.
//
// On Windows a place that names a registry key ("HKEY_CURRENT_USER\Software\Tavisoft\Kestrun",
// which defaultFile() gives there) keeps the values in that key instead: numbers as REG_DWORD,
// texts as REG_SZ, each value written at once; a value of another type counts as missing.
class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(std::filesystem::path file);
    ~IniSettingsStore() override;

    // $XDG_CONFIG_HOME/Tavisoft/Kestrun.conf, with ~/.config below the user's home folder when
    // the variable is unset. Empty when the user has no home folder: nothing is then read or
    // saved.
    // On Windows: the registry key HKEY_CURRENT_USER\Software\Tavisoft\Kestrun.
    static std::filesystem::path defaultFile();

    bool exists() const override;
    std::optional<std::uint32_t> readNumber(std::string_view name) const override;
    std::optional<std::string> readText(std::string_view name) const override;
    bool writeNumber(std::string_view name, std::int64_t value) override;
    bool writeText(std::string_view name, std::string_view text) override;
    bool flush() override;

    const std::filesystem::path& file() const { return file_; }

    // Where the values are kept: the INI file, or the registry key (the system's choice).
    struct Impl;

private:
    std::filesystem::path file_;
    std::unique_ptr<Impl> impl_;
};

} // namespace kestrun
