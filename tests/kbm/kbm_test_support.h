#pragma once

#include "kbm/backup_log.h"
#include "kbm/backup_run.h"
#include "kbm/paths.h"
#include "kbm/run_progress.h"
#include "platform/clock.h"
#include "tests/kestrun/update/http_server_peer.h"
#include "tests/support/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kestrun::test {

// Records what a run shows.
class RecordingProgress final : public RunProgress {
public:
    void setOverall(int percent) override { overall.push_back(percent); }
    void setTransfer(int percent) override { transfer.push_back(percent); }
    void setStatus(const std::string& text) override { status.push_back(text); }
    void pump() override {
        ++pumps;
        if (onPump)
            onPump();
    }

    std::vector<int> overall;
    std::vector<int> transfer;
    std::vector<std::string> status;
    int pumps = 0;
    std::function<void()> onPump; // what happens between two blocks of a transfer
};

// A working folder, a data folder, a source tree and a destination folder in one temporary
// folder, with APPDATA, XDG_CONFIG_HOME and the current directory pointed at them, and a run
// configuration that copies into the destination folder.
class KbmSandbox {
public:
    KbmSandbox();

    // Creates a file below the source folder and returns its full path.
    std::string source(const std::string& relative, const std::string& content = "data");
    // Where a source's copy lands in the mirror and in the set of a stamp.
    std::string mirrorCopy(const std::string& fullPath) const;
    std::string setCopy(const std::string& fullPath, const LocalDateTime& stamp) const;
    std::string marker(const std::string& fullPath) const;
    std::filesystem::path autodeleteList(const LocalDateTime& stamp) const;

    // Keeps the run's outcome in `outcome`.
    LocalDateTime run(FileSender* sender = nullptr);
    // The messages of the backup log, without their time stamps.
    std::vector<std::string> logMessages() const;
    std::string queue() const;

    TempDir root;
    std::filesystem::path work, data, src, dest, config;
    ScopedEnv appData;
    ScopedEnv configHome;
    ScopedCwd cwd;
    TestClock clock;
    BackupLog log;
    RecordingProgress progress;
    RunConfig run_;
    BackupOutcome outcome;
};

// A sender for a run to a folder, which sends nothing.
struct NoSend final : FileSender {
    bool send(const std::string&, const std::string&) override {
        ADD_FAILURE();
        return false;
    }
};

// A path the test writes with "/", spelt with the system's separators.
std::string native(std::string path);

LocalDateTime stampOf(const char* text); // "YYYY-mm-dd HH:MM:SS"

// Bytes of every value, the same for the same seed: content no transfer mode leaves alone.
std::string randomBytes(std::size_t size, unsigned seed);

// A new certificate for 127.0.0.1 that the sandbox's working folder trusts (its ca.pem).
Certificate trustedCertificate(KbmSandbox& box, const std::string& name);

// Sets a file's modification time relative to another file's, in whole seconds.
void setModifiedRelative(const std::filesystem::path& file, const std::filesystem::path& other,
                         int seconds);

// POSIX: another, unprivileged user of the machine (nobody), for tests of what kbm does beside
// them. Running as them needs root, as the tests have in CI.
bool mayActAsOtherUser();
// Runs the action in a child process as the other user, without groups; true when it ran to
// its end without an exception.
bool asOtherUser(const std::function<void()>& action);
// Makes a folder of the sandbox reachable by the other user.
void openToOthers(const std::filesystem::path& folder);

// Every entry below a folder, links not followed: its relative path, its kind, a file's
// content and a link's target, one line each, sorted. Equal snapshots: nothing changed.
std::string treeSnapshot(const std::filesystem::path& folder);

// The permission bits of a path (links not followed).
unsigned modeOf(const std::filesystem::path& path);

} // namespace kestrun::test
