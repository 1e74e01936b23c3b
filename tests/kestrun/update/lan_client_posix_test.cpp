// The LAN update client's case that needs POSIX: a folder made read-only by its mode or, for
// root, by a read-only mount.
#include "tests/kestrun/update/lan_client_fixture.h"

#include <sys/mount.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kestrun::test::LanClientFixture;
using kestrun::test::readFile;
using Strings = std::vector<std::string>;

namespace {

class LanClientPosixTest : public LanClientFixture {};

// Makes a folder take no new file while it lives: no write permission for a user, a read-only
// mount for root, whom no permission stops.
struct ReadOnlyFolder {
    explicit ReadOnlyFolder(const fs::path& f) : folder(f) {
        if (!root)
            fs::permissions(folder, fs::perms(0555));
        else if (::mount(f.c_str(), f.c_str(), nullptr, MS_BIND, nullptr) != 0)
            made = false;
        else if (::mount(nullptr, f.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr))
            end();
    }
    ~ReadOnlyFolder() { end(); }
    void end() {
        if (std::exchange(made, false))
            root ? void(::umount(folder.c_str())) : fs::permissions(folder, fs::perms(0755));
    }
    const bool root = ::geteuid() == 0;
    fs::path folder;
    bool made = true;
};

// A folder that takes no new file: the program is neither closed nor downloaded for, the
// reason is logged once, and an hour after the last try, the folder writable again, the update
// is made.
TEST_F(LanClientPosixTest, AProgramThatCannotBeReplacedIsNotClosed) {
    installProgram("117");
    startUpdateServer("118");
    publishWeb("5.2.0.118");
    ReadOnlyFolder readOnly(zelmoDir_.path());
    if (!readOnly.made)
        GTEST_SKIP() << "root needs a read-only mount";
    for (int poll = 0; poll < 4; ++poll) {
        if (poll == 2) // tried again an hour later, refused again: no second line
            clock_.advance(std::chrono::hours(1));
        if (poll == 3) // held: the last try was less than an hour ago
            readOnly.end();
        runCheck();
    }
    const std::string why = readOnly.root ? "Read-only file system" : "Permission denied";
    EXPECT_EQ(logMessages(), Strings{program_ + " can not be replaced: no file can be made in " +
                                     zelmoDir_.path().string() + " (" + why + ")"});
    EXPECT_TRUE(programRunning()); // and no download line: nothing was fetched
    clock_.advance(std::chrono::hours(1));
    runCheck();
    EXPECT_EQ(logMessages().back(), "Zelmo was updated");
    EXPECT_EQ(readFile(program_), standIn("118"));
}

} // namespace
