#include "platform/settings_store.h"

#include "platform/regular_file.h"
#include "platform/settings_backend.h"
#include "platform/win32/registry.h"
#include "platform/win32/win32_util.h"

#include <sddl.h>

#include <cstring>
#include <random>
#include <vector>

namespace kestrun {

namespace fs = std::filesystem;
using win32::RegistryKey;

namespace {

// The values in a registry key, read and written one by one.
class RegistrySettings final : public IniSettingsStore::Impl {
public:
    explicit RegistrySettings(win32::RegistryPath key)
        : key_(std::move(key)), read_(RegistryKey::open(key_, KEY_QUERY_VALUE)) {}

    bool exists() const override { return static_cast<bool>(read_); }

    std::optional<std::uint32_t> readNumber(std::string_view name) const override {
        const auto value = read_.read(win32::widen(name));
        if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD))
            return std::nullopt;
        DWORD number = 0;
        std::memcpy(&number, value->data.data(), sizeof number);
        return number;
    }

    std::optional<std::string> readText(std::string_view name) const override {
        auto text = read_.readText(win32::widen(name));
        if (!text || text->size() >= SettingsStore::kMaxTextBytes)
            return std::nullopt;
        return text;
    }

    bool writeNumber(std::string_view name, std::int64_t value) override {
        // The value's 32 bits, as the store's numbers are words.
        return note(writer() && write_->writeNumber(win32::widen(name),
                                                    static_cast<DWORD>(value & 0xffffffff)));
    }

    bool writeText(std::string_view name, std::string_view text) override {
        return note(writer() && write_->writeText(win32::widen(name), std::string(text)));
    }

    bool flush() override {
        const bool written = !failed_;
        failed_ = false;
        if (written && write_)
            ::RegFlushKey(write_->get());
        if (written && !read_)
            read_ = RegistryKey::open(key_, KEY_QUERY_VALUE);
        return written;
    }

private:
    bool writer() {
        if (!write_)
            write_.emplace(RegistryKey::open(key_, KEY_SET_VALUE | KEY_QUERY_VALUE, true));
        return static_cast<bool>(*write_);
    }
    bool note(bool ok) {
        failed_ = failed_ || !ok;
        return ok;
    }

    win32::RegistryPath key_;
    RegistryKey read_;
    std::optional<RegistryKey> write_;
    bool failed_ = false;
};

// Access for this user alone (and the system), not inherited from the folder.
struct PrivateSecurity {
    PrivateSecurity() {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        const win32::Handle held(token);
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<unsigned char> user(size);
        LPWSTR sid = nullptr;
        if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size) ||
            !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid))
            return;
        const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;FA;;;SY)";
        ::LocalFree(sid);
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &descriptor, nullptr))
            attributes = {sizeof attributes, descriptor, FALSE};
    }
    ~PrivateSecurity() { ::LocalFree(descriptor); }
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

} // namespace

fs::path IniSettingsStore::defaultFile() {
    return fs::path(L"HKEY_CURRENT_USER\\Software\\Tavisoft\\Kestrun");
}

std::unique_ptr<IniSettingsStore::Impl> makeSettings(const fs::path& place) {
    if (auto key = win32::registryPath(place))
        return std::make_unique<RegistrySettings>(std::move(*key));
    return makeIniFileSettings(place);
}

bool writePrivateFile(const fs::path& file, const std::string& text) {
    std::error_code ec;
    fs::path target = file;
    if (fs::is_symlink(file, ec)) {
        target = fs::weakly_canonical(file, ec);
        if (ec)
            return false;
    }
    fs::create_directories(target.parent_path(), ec);
    std::random_device random;
    fs::path temp = target.parent_path() /
                    fs::path(L"." + target.filename().wstring() + L"." + std::to_wstring(random()));
    PrivateSecurity security;
    win32::Handle handle(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0,
                                       security.descriptor ? &security.attributes : nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    FileDescriptor fd = win32::adoptHandle(std::move(handle));
    if (!fd)
        return false;
    const bool written = writeAll(fd, text) && syncToDisk(fd);
    fd = FileDescriptor(); // closed before the rename
    if (!written || !::MoveFileExW(temp.c_str(), target.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

} // namespace kestrun
