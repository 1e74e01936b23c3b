#include "tests/support/test_support.h"
#include "tests/support/test_support_os.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace kestrun::test {

std::filesystem::path makeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrun-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void setVariable(const std::string& name, const std::optional<std::string>& value) {
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

bool grantAccess(const std::filesystem::path& path, bool group, unsigned id, unsigned access) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    // The kernel's form on a little-endian machine: version 2, then (tag, permissions, id) in
    // the order of their tags: owner, user, owning group, group, mask, other.
    std::string bytes("\2\0\0\0", 4);
    const auto put = [&](std::uint16_t tag, unsigned permissions, std::uint32_t who) {
        const std::uint16_t bits = static_cast<std::uint16_t>(permissions & 7);
        bytes.append(reinterpret_cast<const char*>(&tag), 2);
        bytes.append(reinterpret_cast<const char*>(&bits), 2);
        bytes.append(reinterpret_cast<const char*>(&who), 4);
    };
    const unsigned owner = st.st_mode >> 6, owningGroup = st.st_mode >> 3, other = st.st_mode;
    put(0x01, owner, ~0u);
    put(group ? 0x04 : 0x02, group ? owningGroup : access, group ? ~0u : id);
    put(group ? 0x08 : 0x04, group ? access : owningGroup, group ? id : ~0u);
    put(0x10, owningGroup | access, ~0u);
    put(0x20, other, ~0u);
    return ::setxattr(path.c_str(), "system.posix_acl_access", bytes.data(), bytes.size(), 0) == 0;
}

} // namespace kestrun::test
