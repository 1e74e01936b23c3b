#include "tests/kbm/kbm_test_support.h"

// What the sandbox does beside other users, which it needs POSIX for.

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrun::test {

namespace fs = std::filesystem;

bool mayActAsOtherUser() {
    return ::geteuid() == 0;
}

bool asOtherUser(const std::function<void()>& action) {
    constexpr uid_t kOther = 65534;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kOther, kOther, kOther) != 0 ||
            ::setresuid(kOther, kOther, kOther) != 0)
            ::_exit(2);
        try {
            action();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void openToOthers(const fs::path& folder) {
    fs::permissions(folder, fs::perms::all, fs::perm_options::replace);
}

} // namespace kestrun::test
