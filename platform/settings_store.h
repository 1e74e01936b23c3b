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

// The store as an INI file (keys under [General], numbers as decimal text), kept with mode
// 0600 because it holds the FTP password.
class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(std::filesystem::path file);
    ~IniSettingsStore() override;

    // $XDG_CONFIG_HOME/Tavisoft/Kestrun.conf, with ~/.config when the variable is unset.
    static std::filesystem::path defaultFile();

    bool exists() const override;
    std::optional<std::uint32_t> readNumber(std::string_view name) const override;
    std::optional<std::string> readText(std::string_view name) const override;
    bool writeNumber(std::string_view name, std::int64_t value) override;
    bool writeText(std::string_view name, std::string_view text) override;
    bool flush() override;

    const std::filesystem::path& file() const { return file_; }

private:
    struct Impl;
    std::filesystem::path file_;
    std::unique_ptr<Impl> impl_;
};

} // namespace kestrun
