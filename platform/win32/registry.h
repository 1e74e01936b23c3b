#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun::win32 {

// A registry key named as a path: its root's full name ("HKEY_CURRENT_USER",
// "HKEY_LOCAL_MACHINE"), then its subkeys, separated by "\" (or "/").
struct RegistryPath {
    HKEY root = nullptr;
    std::wstring subkey;
};

// nullopt when the path does not begin with the name of a root key.
std::optional<RegistryPath> registryPath(const std::filesystem::path& path);

// An open registry key, closed when the object goes.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey();
    RegistryKey(RegistryKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
    RegistryKey& operator=(RegistryKey&& other) noexcept {
        if (this != &other) {
            close();
            key_ = other.key_;
            other.key_ = nullptr;
        }
        return *this;
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key; with create, makes it (and the keys above it) when missing.
    static RegistryKey open(const RegistryPath& path, REGSAM access, bool create = false);

    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

    // A value's type and bytes; nullopt when it is missing or cannot be read.
    struct Value {
        DWORD type = REG_NONE;
        std::vector<unsigned char> data;
    };
    std::optional<Value> read(const std::wstring& name) const;
    // A REG_SZ or REG_EXPAND_SZ value as UTF-8, up to its first NUL; nullopt for any other.
    std::optional<std::string> readText(const std::wstring& name) const;

    bool writeText(const std::wstring& name, const std::string& utf8) const;
    bool writeNumber(const std::wstring& name, DWORD value) const;
    // True when the value is gone (or was never there).
    bool remove(const std::wstring& name) const;

private:
    explicit RegistryKey(HKEY key) : key_(key) {}
    void close();
    HKEY key_ = nullptr;
};

} // namespace kestrun::win32
