// What the Windows calls add to the platform layer, against the real calls (under Wine here):
// the registry, the named mutex, the process snapshot, the launcher, the Run value and the
// version resources. The helper runs as real processes; each test ends the ones it started.

#include "common/file_version.h"
#include "kestrun/core/settings.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/folder_handle.h"
#include "platform/path_rules.h"
#include "platform/process_table.h"
#include "platform/program_launcher.h"
#include "platform/program_paths.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"
#include "platform/version_resource.h"
#include "release/handover_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <optional>
#include <thread>

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using test::readLines;
using test::TempDir;

const std::string kTestKey =
    "Software\\Tavisoft\\KestrunTest" + std::to_string(::GetCurrentProcessId());

// A registry key of this test alone, deleted with everything below it.
struct ScopedKey {
    ~ScopedKey() { ::RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey.c_str()); }
    std::string path = "HKEY_CURRENT_USER\\" + kTestKey;
};

std::optional<DWORD> rawType(const std::string& name) {
    DWORD type = 0;
    if (::RegGetValueA(HKEY_CURRENT_USER, kTestKey.c_str(), name.c_str(), RRF_RT_ANY, &type,
                       nullptr, nullptr) != ERROR_SUCCESS)
        return std::nullopt;
    return type;
}

// The twenty values as texts, to compare two records whole.
std::vector<std::string> fields(const Settings& s) {
    return {std::to_string(s.delay),
            std::to_string(s.period),
            std::to_string(s.folder),
            s.path,
            s.host,
            std::to_string(s.port),
            s.user,
            s.password,
            std::to_string(s.passive),
            std::to_string(s.umode),
            s.uhost,
            std::to_string(s.uport),
            s.uhttp,
            s.ufile,
            std::to_string(s.upull),
            std::to_string(s.upost),
            std::to_string(s.update),
            std::to_string(s.promt),
            s.ufile2,
            std::to_string(s.autodelete)};
}

// A process this test started, ended by its pid when the test is done.
struct Started {
    explicit Started(const StartResult& started) : pid(started.pid) {}
    ~Started() {
        if (const HANDLE p = pid ? ::OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(*pid)) : nullptr) {
            ::TerminateProcess(p, 0);
            ::CloseHandle(p);
        }
    }
    std::optional<std::int64_t> pid;
};

TEST(WindowsSettings, TheTwentyValuesRoundTripThroughTheRegistryWithTheirTypes) {
    ScopedKey key;
    EXPECT_FALSE(IniSettingsStore(key.path).exists());
    Settings saved;
    saved.delay = 7, saved.period = 0, saved.folder = 0, saved.path = "D:\\Копии",
    saved.host = "ftp.example", saved.port = 2121, saved.user = "ann", saved.password = "p w;\"",
    saved.passive = 1, saved.umode = 3, saved.uhost = "10.0.0.2", saved.uport = 10301,
    saved.uhttp = "http://h/z", saved.ufile = "C:\\Z\\Zelmo_serv.exe", saved.upull = 300,
    saved.upost = 90, saved.update = 0, saved.promt = 4294967295u,
    saved.ufile2 = "C:\\Z\\Zelmo.exe?+", saved.autodelete = -1;
    IniSettingsStore store(key.path);
    ASSERT_TRUE(saved.save(store));
    for (const char* number : {"Delay", "Period", "Folder", "Port", "Passive", "Umode", "Uport",
                               "Upull", "Upost", "Update", "Promt", "Autodelete"})
        EXPECT_EQ(rawType(number), DWORD(REG_DWORD)) << number;
    for (const char* text :
         {"Path", "Host", "User", "Password", "Uhost", "Uhttp", "Ufile", "Ufile2"})
        EXPECT_EQ(rawType(text), DWORD(REG_SZ)) << text;

    const IniSettingsStore reread(key.path);
    EXPECT_TRUE(reread.exists());
    Settings loaded;
    loaded.load(reread);
    EXPECT_EQ(fields(loaded), fields(saved));
    EXPECT_NE(fields(loaded), fields(Settings()));
}

// Values of the wrong type, or texts of 260 bytes or more, keep their defaults.
TEST(WindowsSettings, UnreadableValuesKeepTheirDefaults) {
    ScopedKey key;
    {
        IniSettingsStore store(key.path);
        ASSERT_TRUE(store.writeText("Delay", "9"));
        ASSERT_TRUE(store.writeNumber("Host", 5));
        ASSERT_TRUE(store.writeText("Path", std::string(260, 'p')));
        ASSERT_TRUE(store.writeText("User", std::string(259, 'u')));
        ASSERT_TRUE(store.flush());
    }
    Settings s;
    s.load(IniSettingsStore(key.path));
    EXPECT_EQ(s.delay, 5);
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.path, Settings().path);
    EXPECT_EQ(s.user, std::string(259, 'u'));
}

TEST(WindowsInstance, TheNamedMutexIsHeldByOneProcessAndRefusedToAnother) {
    TempDir dir;
    const std::string name = "KESTRUN_TEST_" + std::to_string(::GetCurrentProcessId());
    DetachedProgramLauncher launcher;
    const std::string helper = WINDOWS_PLATFORM_HELPER;
    Started holder(launcher.start(helper, "hold " + name + " \"" + (dir / "a").string() + "\"",
                                  dir.path(), true));
    ASSERT_TRUE(holder.pid);
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(dir / "a"); }, std::chrono::seconds(30)));
    EXPECT_EQ(readLines(dir / "a"), std::vector<std::string>{"acquired"});
    EXPECT_FALSE(SingleInstanceLock(name).acquired());
    Started second(launcher.start(helper, "hold " + name + " \"" + (dir / "b").string() + "\"",
                                  dir.path(), true));
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(dir / "b"); }, std::chrono::seconds(30)));
    EXPECT_EQ(readLines(dir / "b"), std::vector<std::string>{"busy"});

    // The holder dies: its mutex is abandoned and the next instance takes it over.
    const HANDLE p = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, DWORD(*holder.pid));
    ASSERT_TRUE(p);
    ::TerminateProcess(p, 0);
    ::WaitForSingleObject(p, 10000);
    ::CloseHandle(p);
    std::optional<SingleInstanceLock> next(std::in_place, name);
    EXPECT_TRUE(next->acquired());
    // Another thread of the same process is refused too, and so is the owner thread itself (a
    // mutex would let its owner take it again), until the lock is let go.
    bool other = true;
    std::thread([&] { other = SingleInstanceLock(name).acquired(); }).join();
    EXPECT_FALSE(other);
    EXPECT_FALSE(SingleInstanceLock(name).acquired());
    next.reset();
    EXPECT_TRUE(SingleInstanceLock(name).acquired());
}

// The launcher starts the program in the folder asked for, minimised when asked; the snapshot
// finds it under its image name and reads its command line; closeFirst ends it.
TEST(WindowsProcesses, AStartedJavaIsFoundWithItsCommandLineAndClosed) {
    TempDir dir;
    const fs::path java = fs::path(WINDOWS_PLATFORM_HELPER).parent_path() / "java.exe";
    fs::create_directories(dir / "work folder");
    DetachedProgramLauncher launcher;
    const std::string report = (dir / "report").string();
    for (const bool minimised : {true, false}) {
        fs::remove(report);
        Started started(launcher.start(java.string(),
                                       "report \"" + report + "\" -jar \"my app.jar\"",
                                       dir / "work folder", minimised));
        ASSERT_TRUE(started.pid);
        ASSERT_TRUE(test::waitUntil([&] { return fs::exists(report); }, std::chrono::seconds(30)));
        const auto lines = readLines(report);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_TRUE(fs::equivalent(lines[0], dir / "work folder")) << lines[0];
        EXPECT_EQ(lines[2], std::to_string(minimised ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL));

        TestClock clock(LocalDateTime::fromFields(2024, 1, 1, 0, 0, 0));
        ProcProcessTable table(clock);
        const auto processes = table.processes();
        ASSERT_TRUE(processes);
        const auto found =
            std::find_if(processes->begin(), processes->end(),
                         [&](const ProcessInfo& p) { return p.pid == *started.pid; });
        ASSERT_NE(found, processes->end());
        EXPECT_EQ(found->names, std::vector<std::string>{"java.exe"});
        ASSERT_TRUE(found->javaCommandLine);
        EXPECT_EQ(*found->javaCommandLine,
                  fs::absolute(java).string() + " report " + report + " -jar my app.jar");
        for (const ProcessInfo& p : *processes)
            EXPECT_EQ(p.javaCommandLine.has_value(), &p == &*found) << p.names.at(0);

        ASSERT_TRUE(table.closeFirst("JAVA.EXE"));
        const HANDLE p = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(*started.pid));
        EXPECT_TRUE(!p || ::WaitForSingleObject(p, 0) == WAIT_OBJECT_0);
        if (p)
            ::CloseHandle(p);
    }
    EXPECT_FALSE(launcher.start(java.string() + "-missing.exe", "", dir.path(), false));
}

// Our programs' files and those of a Kestrun's hand-over carry ".exe"; the backup program is
// found under its file name, and what the updater would print goes to the null device.
TEST(WindowsNames, OurFilesCarryTheExecutableSuffix) {
    const std::pair<std::string, const char*> names[] = {
        {programFileName(kKestrunProgram), "kestrun.exe"},
        {downloadFileName(kKestrunProgram), "kestrun.exe~"},
        {downloadFileName(kBackupProgram), "kbm.exe~"},
        {downloadFileName(kUpdaterProgram), "kvu.exe~"},
        {keptOldKestrunName(), "kestrun.exe.old"},
        {trialMarkerName(), "kestrun.exe.trial"},
        {failedReleaseName(), "kestrun.exe.failed"},
        {newSignatureName(), "kestrun.exe~.sig"}};
    for (const auto& [made, expected] : names)
        EXPECT_EQ(made, expected);
    TempDir dir;
    fs::copy_file(WINDOWS_PLATFORM_HELPER, dir / "kbm.exe");
    EXPECT_EQ(locateProgram(programFileName(kBackupProgram), dir.path()), dir / "kbm.exe");
    std::FILE* nowhere = std::fopen(std::string(nullDevice()).c_str(), "w");
    ASSERT_TRUE(nowhere);
    EXPECT_GE(std::fputs("gone", nowhere), 0);
    EXPECT_EQ(std::fclose(nowhere), 0);
    EXPECT_FALSE(fs::exists(dir / std::string(nullDevice())));
}

TEST(WindowsAutostart, TheRunValueIsWrittenHonouredAndRemoved) {
    const AutostartEntry entry(AutostartEntry::defaultFile());
    entry.remove();
    ASSERT_FALSE(entry.exists());
    const std::string program = "C:\\Program Files\\Kestrun\\kestrun.exe";
    ASSERT_TRUE(entry.write(program));
    EXPECT_TRUE(entry.exists());
    EXPECT_EQ(entry.programPath(), program);
    const fs::path place = entry.file();
    const std::string key = place.parent_path().string();
    const HKEY root =
        key.rfind("HKEY_LOCAL_MACHINE", 0) == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const std::string subkey = key.substr(key.find('\\') + 1);
    char raw[300] = {};
    DWORD size = sizeof raw;
    ASSERT_EQ(::RegGetValueA(root, subkey.c_str(), "Kestrun", RRF_RT_REG_SZ, nullptr, raw, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(raw), "\"" + program + "\"");

    // Turned off in the task manager: the value stays, but it starts nothing.
    std::string approved = subkey;
    approved.insert(approved.size() - 3, "Explorer\\StartupApproved\\");
    for (const BYTE first : {BYTE(3), BYTE(2)}) {
        const BYTE flag[12] = {first};
        ASSERT_EQ(
            ::RegSetKeyValueA(root, approved.c_str(), "Kestrun", REG_BINARY, flag, sizeof flag),
            ERROR_SUCCESS);
        EXPECT_EQ(entry.exists(), first == 2);
        EXPECT_EQ(entry.programPath().has_value(), first == 2);
    }
    ::RegDeleteKeyValueA(root, approved.c_str(), "Kestrun");

    EXPECT_TRUE(entry.remove());
    EXPECT_FALSE(entry.exists());
    EXPECT_FALSE(entry.remove());
    for (const std::size_t bytes : {259u, 260u}) {
        EXPECT_TRUE(entry.write(std::string(bytes, 'k')));
        EXPECT_EQ(entry.programPath().has_value(), bytes < 260) << "260 bytes or more are not read";
    }
    EXPECT_TRUE(entry.remove());
}

// The folder calls kbm's copy and clean-up stand on: names are single components (a device
// name is none), new files never replace anything, a move never replaces, a read-only copy can
// still be removed, and a lock is refused to a second holder.
TEST(WindowsFiles, FolderCallsKeepToTheirFolderAndNeverReplaceUnasked) {
    TempDir dir;
    const FolderHandle root = FolderHandle::open(dir.path());
    ASSERT_TRUE(root);
    bool created = false;
    const FolderHandle sub = root.childCreating("sub", 0700, &created);
    ASSERT_TRUE(sub && created);
    EXPECT_TRUE(root.childCreating("sub", 0700, &created) && !created);
    for (const char* bad : {"", ".", "..", "a\\b", "a/b", "C:x", "CON", "nul.txt"})
        EXPECT_FALSE(sub.createFile(bad, 0644)) << bad;
    {
        const FileDescriptor fd = sub.createFile("a", 0444);
        ASSERT_TRUE(fd);
        EXPECT_TRUE(writeAll(fd, "12345"));
    }
    EXPECT_FALSE(sub.createFile("a", 0644)) << "an existing file is never replaced";
    const auto status = sub.entryStatus("a");
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->isRegular && !status->isFolder && !status->isLink);
    EXPECT_EQ(status->size, 5);
    EXPECT_EQ(status->permissions & 0222u, 0u) << "read-only";
    EXPECT_FALSE(sub.child("a")) << "a file is no folder";
    EXPECT_TRUE(sub.createFile("b", 0644));
    EXPECT_FALSE(sub.moveTo("b", sub, "a")) << "a move never replaces";
    EXPECT_TRUE(sub.moveTo("b", root, "b"));
    EXPECT_EQ(root.names(), (std::vector<std::string>{"b", "sub"}));
    EXPECT_TRUE(root.rename("b", "c"));
    EXPECT_TRUE(sub.removeFile("a")) << "a read-only copy is removed all the same";
    EXPECT_FALSE(root.removeFile("sub")) << "a folder is no file";
    EXPECT_TRUE(root.removeFolder("sub"));
    // The name goes once the last handle to the folder is closed, as Windows deletes.
    EXPECT_EQ(FolderHandle::open(dir / "sub").names(), std::vector<std::string>{});

    const FileLock first(dir / "run.lock", FileLock::Sharing::Writers);
    EXPECT_EQ(first.state(), FileLock::State::Acquired);
    EXPECT_EQ(FileLock(dir / "run.lock").state(), FileLock::State::Busy);
    EXPECT_EQ(FileLock(dir.path()).state(), FileLock::State::Unavailable) << "a folder";
}

// Windows' own reader of version resources agrees with ours on the test executables.
TEST(WindowsVersions, GetFileVersionInfoAgreesWithOurReader) {
    for (const char* name :
         {"zelmo_5_2_0_117.exe", "zelmo32_5_2_0_118.exe", "largest_parts.exe", "no_version.exe"}) {
        const fs::path file = fs::path(KESTRUN_TEST_PE_DIR) / name;
        ASSERT_TRUE(fs::exists(file)) << file;
        EXPECT_EQ(systemFileVersion(file), readFileVersion(file)) << name;
    }
    // Windows looks for the version resource under its usual id (1) alone; ours takes the
    // first one there is, here id 7 behind other resources.
    const fs::path other = fs::path(KESTRUN_TEST_PE_DIR) / "other_resources.exe";
    EXPECT_FALSE(systemFileVersion(other));
    EXPECT_TRUE(readFileVersion(other));
    // Our own executables carry theirs as a resource the system reads.
    EXPECT_EQ(systemFileVersion(WINDOWS_PLATFORM_HELPER), readFileVersion(WINDOWS_PLATFORM_HELPER));
    ASSERT_TRUE(readFileVersion(WINDOWS_PLATFORM_HELPER));
    EXPECT_EQ(readFileVersion(WINDOWS_PLATFORM_HELPER)->text(), "3.1.4.1");
    const auto largest = systemFileVersion(fs::path(KESTRUN_TEST_PE_DIR) / "largest_parts.exe");
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->text(), "65535.65534.65533.65532");
}

} // namespace
} // namespace kestrun
