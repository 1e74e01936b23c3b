#include "platform/win32/registry.h"

#include "platform/win32/win32_util.h"

#include <cstring>
#include <cwchar>

namespace kestrun::win32 {

namespace fs = std::filesystem;

std::optional<RegistryPath> registryPath(const fs::path& path) {
    static const struct {
        const wchar_t* name;
        HKEY root;
    } roots[] = {{L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                 {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                 {L"HKEY_USERS", HKEY_USERS},
                 {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};
    std::wstring text = path.wstring();
    for (wchar_t& c : text)
        if (c == L'/')
            c = L'\\';
    const std::wstring first = text.substr(0, text.find(L'\\'));
    for (const auto& root : roots)
        if (_wcsicmp(first.c_str(), root.name) == 0) {
            RegistryPath out{root.root, {}};
            if (first.size() < text.size())
                out.subkey = text.substr(first.size() + 1);
            return out;
        }
    return std::nullopt;
}

RegistryKey::~RegistryKey() {
    close();
}

void RegistryKey::close() {
    if (key_)
        ::RegCloseKey(key_);
    key_ = nullptr;
}

RegistryKey RegistryKey::open(const RegistryPath& path, REGSAM access, bool create) {
    HKEY key = nullptr;
    const LSTATUS status = create
                               ? ::RegCreateKeyExW(path.root, path.subkey.c_str(), 0, nullptr, 0,
                                                   access, nullptr, &key, nullptr)
                               : ::RegOpenKeyExW(path.root, path.subkey.c_str(), 0, access, &key);
    return RegistryKey(status == ERROR_SUCCESS ? key : nullptr);
}

std::optional<RegistryKey::Value> RegistryKey::read(const std::wstring& name) const {
    if (!key_)
        return std::nullopt;
    // A value that grows between the two calls is asked for again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (::RegQueryValueExW(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        Value value{type, std::vector<unsigned char>(size)};
        const LSTATUS status =
            ::RegQueryValueExW(key_, name.c_str(), nullptr, &type, value.data.data(), &size);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            return std::nullopt;
        value.type = type;
        value.data.resize(size);
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> RegistryKey::readText(const std::wstring& name) const {
    const auto value = read(name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::wstring text(value->data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(wchar_t));
    // A stored text ends at its first NUL, its terminator or not.
    if (const auto nul = text.find(L'\0'); nul != std::wstring::npos)
        text.resize(nul);
    return narrow(text);
}

bool RegistryKey::writeText(const std::wstring& name, const std::string& utf8) const {
    const std::wstring text = widen(utf8);
    return key_ && ::RegSetValueExW(
                       key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegistryKey::writeNumber(const std::wstring& name, DWORD value) const {
    return key_ &&
           ::RegSetValueExW(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof value) == ERROR_SUCCESS;
}

bool RegistryKey::remove(const std::wstring& name) const {
    if (!key_)
        return false;
    const LSTATUS status = ::RegDeleteValueW(key_, name.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

} // namespace kestrun::win32
