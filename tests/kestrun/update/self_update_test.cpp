#include "kestrun/update/self_update.h"
#include "platform/program_launcher.h"
#include "release/handover_files.h"
#include "tests/kestrun/update/self_update_names.h"
#include "tests/kestrun/update/version_copy.h"
#include "tests/kestrun/update/web_fixture.h"

#include <QProcess>

#include <optional>

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;

// Records every start and answers with a pid, or with a failed start.
class RecordingLauncher final : public ProgramLauncher {
public:
    struct Start {
        std::string path;
        fs::path folder;
        std::size_t logLinesBefore; // how many lines the event log held at the start
    };
    explicit RecordingLauncher(const EventLog& log) : log_(log) {}
    StartResult start(const std::string& path, const std::string&, const fs::path& folder,
                      bool) override {
        starts.push_back({path, folder, readLines(log_.file()).size()});
        return succeed ? StartResult(4242) : StartResult(std::nullopt);
    }
    std::vector<Start> starts;
    bool succeed = true;

private:
    const EventLog& log_;
};

class SelfUpdateTest : public WebFixture {
protected:
    // Our site over HTTPS, its certificate in ca.pem, the test key trusted in the folder.
    SelfUpdateTest() {
        startSite(&certificate_);
        // By its name, as our real site is: Schannel matches a certificate's DNS names only.
        named_.emplace("KESTRUN_WEB_BASE",
                       "https://localhost:" + std::to_string(server_->port()) + "/KSN");
        trustFolder();
    }
    void trustFolder() {
        writeFile(work_ / "ca.pem", readFile(certificate_.cert));
        trustTestKey();
    }

    SelfUpdate checks(const fs::path& current,
                      SelfUpdate::HandOver handOver = SelfUpdate::HandOver::StartUpdater) {
        return SelfUpdate(
            web_, log_, launcher_, work_.path(),
            [this](int status) {
                exits_.push_back({status, launcher_.starts.size()});
            },
            current, handOver);
    }
    SelfUpdate checks() { return checks(work_.path()); }

    // Empties the working folder and the site between the cases of a table.
    void clearFolders() {
        for (const fs::path& dir : {work_.path(), site_.path(), other_.path()})
            for (const auto& entry : fs::directory_iterator(dir))
                fs::remove_all(entry.path());
        trustFolder();
    }
    std::string savedLine(const std::string& local, std::size_t size, const FileVersion& v) {
        const std::string n = std::to_string(size);
        return "Update downloaded, size: " + n + " of " + n + " bytes, version: " + v.text() +
               ", file: " + (work_ / local).string();
    }
    std::string cancelLine(const std::string& local, std::size_t size) {
        const std::string n = std::to_string(size);
        return "Update downloaded, size: " + n + " of " + n +
               " bytes, file: " + (work_ / local).string() +
               ", but could not read version! cancelation!";
    }

    struct Exit {
        int status;
        std::size_t startsBefore;
    };
    Certificate certificate_ = makeCertificate(keys_.path(), "site");
    std::optional<ScopedEnv> named_;
    RecordingLauncher launcher_{log_};
    std::vector<Exit> exits_;
    TempDir other_;
};

// The two companions behave alike but for their names.
struct Companion {
    OwnProgram program;
    std::string name;
    std::string key;
    std::string updatedLine;
};
const Companion kCompanions[] = {
    {OwnProgram::Kbm, "kbm", "KBM:", "kbm was updated."},
    {OwnProgram::Updater, "kvu", "KVU:", "kvu was updated."},
};

TEST_F(SelfUpdateTest, CompanionChecks) {
    enum class Installed { None, Versioned, NoVersion, Folder };
    enum class Served { Program, Nothing };
    enum class Expect { Nothing, NoConnection, DownloadFailed, NotNewer, Updated, CopyFailed };
    struct Case {
        const char* what;
        Installed installed;
        FileVersion installedVersion;
        unsigned installedMode;
        const char* manifestVersion; // nullptr: the manifest lacks the key
        Served served;
        Expect expect;
        std::optional<FileVersion> fileVersion = {}; // the served file's, when not the manifest's
    };
    const Case cases[] = {
        {"missing companion is fetched",
         Installed::None,
         {},
         0,
         "1.0.0.1",
         Served::Program,
         Expect::Updated},
        {"older one is replaced and keeps its mode", Installed::Versioned, version(1, 0, 0, 0),
         0700, "1.0.0.1", Served::Program, Expect::Updated},
        {"first number decides", Installed::Versioned, version(1, 9, 9, 9), 0750, "2.0.0.0",
         Served::Program, Expect::Updated},
        {"one without version counts as 0.0.0.0",
         Installed::NoVersion,
         {},
         0644,
         "0.0.0.1",
         Served::Program,
         Expect::Updated},
        {"equal version stays", Installed::Versioned, version(1, 0, 0, 1), 0755, "1.0.0.1",
         Served::Program, Expect::Nothing},
        {"newer one stays", Installed::Versioned, version(1, 0, 1, 0), 0755, "1.0.0.9",
         Served::Program, Expect::Nothing},
        {"manifest without the key", Installed::Versioned, version(1, 0, 0, 0), 0755, nullptr,
         Served::Program, Expect::NoConnection},
        {"download without version", Installed::Versioned, version(1, 0, 0, 0), 0755, "1.0.0.1",
         Served::Nothing, Expect::DownloadFailed},
        {"file not newer than the installed one", Installed::Versioned, version(1, 0, 0, 1), 0755,
         "1.0.0.2", Served::Program, Expect::NotNewer, version(1, 0, 0, 1)},
        {"a folder in the way",
         Installed::Folder,
         {},
         0,
         "1.0.0.1",
         Served::Program,
         Expect::CopyFailed},
    };
    const std::string notFound = "<html><body>Not found</body></html>";
    for (const Companion& c : kCompanions) {
        for (const Case& k : cases) {
            SCOPED_TRACE(c.name + ": " + k.what);
            clearFolders();
            const fs::path installed = work_ / programFileName(c.name);
            std::string before;
            if (k.installed == Installed::Versioned)
                installBuilt(c.name, k.installedVersion, installed, k.installedMode);
            if (k.installed == Installed::NoVersion) {
                writeFile(installed, "#!/bin/sh\n");
                fs::permissions(installed, static_cast<fs::perms>(k.installedMode));
            }
            if (k.installed == Installed::Folder)
                fs::create_directories(installed / "inside");
            if (fs::is_regular_file(installed))
                before = readFile(installed);
            // The other companion's and Kestrun's versions are far ahead: a check that reads
            // the wrong key would act on them.
            std::string manifest = "KSN:9.0.0.0\r\n";
            if (k.manifestVersion)
                manifest += c.key + k.manifestVersion + "\r\n";
            manifest += std::string(c.key == "KBM:" ? "KVU:" : "KBM:") + "9.0.0.0\r\n";
            publish("KSN/ver.txt", manifest);
            FileVersion served{};
            std::string program;
            if (k.manifestVersion) {
                const std::string text = k.manifestVersion;
                unsigned a = 0, b = 0, d = 0, e = 0;
                ASSERT_EQ(std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &d, &e), 4);
                served = version(a, b, d, e);
            }
            if (k.served == Served::Program) {
                program = builtWithVersion(c.name, k.fileVersion.value_or(served));
                publishSigned(remoteOf(c.name), program);
            }

            checks().checkCompanion(c.program);

            std::vector<std::string> lines;
            switch (k.expect) {
            case Expect::Nothing:
                break;
            case Expect::NoConnection:
                lines = {"Could not connect: Tavisoft Web server"};
                break;
            case Expect::DownloadFailed:
                lines = {cancelLine(downloadFileName(c.name), notFound.size()),
                         "Error in downloading update from web: Tavisoft Web server"};
                break;
            case Expect::NotNewer:
                lines = {savedLine(downloadFileName(c.name), program.size(), *k.fileVersion),
                         "Update refused for " + c.name + ", download deleted: its version " +
                             k.fileVersion->text() + " is not newer than the installed " +
                             k.installedVersion.text()};
                break;
            case Expect::Updated:
                lines = {savedLine(downloadFileName(c.name), program.size(), served),
                         c.updatedLine};
                break;
            case Expect::CopyFailed:
                lines = {savedLine(downloadFileName(c.name), program.size(), served)};
                break;
            }
            EXPECT_EQ(logMessages(), lines);
            if (k.expect == Expect::Updated) {
                EXPECT_TRUE(readFile(installed) == program);
                if (systemHasModeBits()) {
                    EXPECT_EQ(modeOf(installed),
                              k.installed == Installed::None ? 0755u : k.installedMode);
                }
                EXPECT_TRUE(readFile(work_ / downloadFileName(c.name)) == program)
                    << "the download stays";
            } else if (k.installed == Installed::Folder) {
                EXPECT_TRUE(fs::is_directory(installed / "inside"));
            } else {
                EXPECT_EQ(fs::exists(installed), k.installed != Installed::None);
                if (k.installed != Installed::None) {
                    EXPECT_TRUE(readFile(installed) == before);
                    if (systemHasModeBits()) {
                        EXPECT_EQ(modeOf(installed), k.installedMode);
                    }
                }
            }
            if (k.expect != Expect::Updated && k.expect != Expect::CopyFailed) {
                EXPECT_FALSE(fs::exists(work_ / downloadFileName(c.name)));
            }
            EXPECT_FALSE(fs::exists(work_ / downloadFileName("kestrun")));
            EXPECT_TRUE(launcher_.starts.empty());
            EXPECT_TRUE(exits_.empty());
        }
    }
}

// The installed file's version is read in the current folder; the download and the copy are
// in the working folder.
TEST_F(SelfUpdateTest, CompanionVersionComesFromTheCurrentFolderAndTheCopyGoesToTheWorkingFolder) {
    publish("KSN/ver.txt", "KBM:1.0.0.1\r\n");
    const std::string program = builtWithVersion("kbm", version(1, 0, 0, 1));
    publishSigned(remoteOf("kbm"), program);
    const std::string kbm = programFileName("kbm");

    installBuilt("kbm", version(1, 0, 0, 1), other_ / kbm);
    checks(other_.path()).checkCompanion(OwnProgram::Kbm);
    EXPECT_TRUE(logMessages().empty()) << "up to date in the current folder";
    EXPECT_FALSE(fs::exists(work_ / kbm));

    installBuilt("kbm", version(1, 0, 0, 0), other_ / kbm);
    checks(other_.path()).checkCompanion(OwnProgram::Kbm);
    EXPECT_EQ(logMessages().back(), "kbm was updated.");
    EXPECT_TRUE(readFile(work_ / kbm) == program);
    EXPECT_EQ(readFileVersion(other_ / kbm), version(1, 0, 0, 0));
}

// A running companion is replaced under its feet: it keeps running its old image, and the
// installed file is the new program at once.
TEST_F(SelfUpdateTest, RunningCompanionIsReplacedAndKeepsRunning) {
    publish("KSN/ver.txt", "KVU:9.0.0.0\r\n");
    const std::string program = builtWithVersion("kvu", version(9, 0, 0, 0));
    publishSigned(remoteOf("kvu"), program);
    const fs::path installed = work_ / programFileName("kvu");
    writeFile(installed, readFile(KESTRUN_RUNNING_STAND_IN));
    fs::permissions(installed, fs::perms::owner_all);
    QProcess running;
    running.start(QString::fromStdString(installed.string()), {});
    ASSERT_TRUE(running.waitForStarted());

    checks().checkCompanion(OwnProgram::Updater);
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{
                  savedLine(downloadFileName("kvu"), program.size(), version(9, 0, 0, 0)),
                  "kvu was updated."}));
    EXPECT_TRUE(readFile(installed) == program);
    EXPECT_EQ(running.state(), QProcess::Running);
    running.kill();
    running.waitForFinished();

    // Where the running one had to be moved aside, it is gone with the next replacement.
    publish("KSN/ver.txt", "KVU:9.0.0.1\r\n");
    publishSigned(remoteOf("kvu"), builtWithVersion("kvu", version(9, 0, 0, 1)));
    checks().checkCompanion(OwnProgram::Updater);
    EXPECT_EQ(logMessages().back(), "kvu was updated.");
    EXPECT_EQ(readFileVersion(installed), version(9, 0, 0, 1));
    EXPECT_FALSE(fs::exists(work_ / ("." + programFileName("kvu") + ".old")));
}

TEST_F(SelfUpdateTest, KestrunChecks) {
    enum class Installed { None, Versioned, NoVersion };
    enum class Expect { Nothing, NoConnection, DownloadFailed, NotNewer, HandOver, NoUpdater };
    enum class Updater { Own, OthersMayWrite, Missing };
    struct Case {
        const char* what;
        Installed installed;
        FileVersion installedVersion;
        const char* manifest;
        bool served;
        bool updaterStarts;
        Expect expect;
        const char* failed = nullptr; // the version the updater rolled back, if any
        FileVersion fileVersion = version(1, 2, 1, 4);
        Updater updater = Updater::Own;
        bool service = false;
        const char* refusal = nullptr; // with NotNewer, or an updater not handed over to
    };
    const Case cases[] = {
        {"same version", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.3", true, true,
         Expect::Nothing},
        {"newer installed", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.0.9", true, true,
         Expect::Nothing},
        {"newer published", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.4", true, true,
         Expect::HandOver},
        {"installed without version",
         Installed::NoVersion,
         {},
         "KSN:1.2.1.4",
         true,
         true,
         Expect::Nothing},
        {"nothing installed", Installed::None, {}, "KSN:1.2.1.4", true, true, Expect::Nothing},
        {"manifest without the key", Installed::Versioned, version(1, 2, 1, 3),
         "KBM:9.0.0.0\r\nKVU:9.0.0.0", true, true, Expect::NoConnection},
        {"download without version", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.4",
         false, true, Expect::DownloadFailed},
        {"updater fails to start", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.4", true,
         false, Expect::NoUpdater},
        {"rolled back before", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.4", true, true,
         Expect::Nothing, "1.2.1.4\n"},
        {"newer than the one rolled back", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.4",
         true, true, Expect::HandOver, "1.2.1.3\n"},
        {"file not newer than the installed one", Installed::Versioned, version(1, 2, 1, 3),
         "KSN:1.2.1.4", true, true, Expect::NotNewer, nullptr, version(1, 2, 1, 3), Updater::Own,
         false, "its version 1.2.1.3 is not newer than the installed 1.2.1.3"},
        {"file the version rolled back", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.5",
         true, true, Expect::NotNewer, "1.2.1.4\n", version(1, 2, 1, 4), Updater::Own, false,
         "its version 1.2.1.4 is not newer than the Kestrun 1.2.1.4 that was rolled back"},
        {"updater others may write", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.4", true,
         true, Expect::NoUpdater, nullptr, version(1, 2, 1, 4), Updater::OthersMayWrite, false,
         "Update not handed over: others may change the updater "},
        {"no updater in the folder", Installed::Versioned, version(1, 2, 1, 3), "KSN:1.2.1.4", true,
         true, Expect::NoUpdater, nullptr, version(1, 2, 1, 4), Updater::Missing},
        {"as a service, updater others may write", Installed::Versioned, version(1, 2, 1, 3),
         "KSN:1.2.1.4", true, true, Expect::NoUpdater, nullptr, version(1, 2, 1, 4),
         Updater::OthersMayWrite, true, "Update not handed over: others may change the updater "},
    };
    const std::string notFound = "<html><body>Not found</body></html>";
    const fs::path kestrun = work_ / programFileName("kestrun");
    const std::string download = downloadFileName("kestrun");
    const fs::path signature = work_ / newSignatureName();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        // Windows files carry no mode that lets others write them.
        if (k.updater == Updater::OthersMayWrite && !systemHasModeBits())
            continue;
        const std::string program = builtWithVersion("kestrun", k.fileVersion);
        clearFolders();
        launcher_.starts.clear();
        exits_.clear();
        const auto requestsBefore = requestedPaths().size();
        if (k.installed == Installed::Versioned)
            installBuilt("kestrun", k.installedVersion, kestrun);
        if (k.installed == Installed::NoVersion)
            writeFile(kestrun, "not a program");
        const fs::path updater = work_ / programFileName("kvu");
        if (k.updater != Updater::Missing)
            installBuilt("kvu", version(1, 0, 0, 0), updater,
                         k.updater == Updater::OthersMayWrite ? 0777 : 0755);
        launcher_.succeed = k.updaterStarts;
        publish("KSN/ver.txt", std::string(k.manifest) + "\r\n");
        if (k.served)
            publishSigned(remoteOf("kestrun"), program);
        if (k.failed)
            writeFile(work_ / failedReleaseName(), k.failed);

        checks(work_.path(), k.service ? SelfUpdate::HandOver::ServiceRestarts
                                       : SelfUpdate::HandOver::StartUpdater)
            .checkKestrun();

        std::vector<std::string> lines;
        const std::string saved = savedLine(download, program.size(), k.fileVersion);
        switch (k.expect) {
        case Expect::Nothing:
            break;
        case Expect::NoConnection:
            lines = {"Could not connect: Tavisoft Web server"};
            break;
        case Expect::DownloadFailed:
            lines = {cancelLine(download, notFound.size()),
                     "Error in downloading update from web: Tavisoft Web server"};
            break;
        case Expect::HandOver:
            lines = {saved, "Preparing for updates, will be terminated."};
            break;
        case Expect::NotNewer:
            lines = {saved,
                     std::string("Update refused for kestrun, download deleted: ") + k.refusal};
            break;
        case Expect::NoUpdater:
            lines = {saved,
                     (k.refusal ? k.refusal : "Could not start the updater: ") + updater.string()};
            break;
        }
        EXPECT_EQ(logMessages(), lines);
        if (k.installed != Installed::Versioned) {
            EXPECT_EQ(requestedPaths().size(), requestsBefore) << "stops before the web";
        }
        if (k.failed && k.expect == Expect::Nothing) {
            EXPECT_EQ(requestedPaths().size(), requestsBefore + 1) << "the manifest only";
        }
        // The updater checks the signature again: it lies beside every download that is kept.
        EXPECT_EQ(fs::exists(signature), fs::exists(work_ / download));
        if (k.expect == Expect::HandOver) {
            EXPECT_TRUE(readFile(work_ / download) == program);
            EXPECT_EQ(readFile(signature), readFile(site_ / (remoteOf("kestrun") + ".sig")));
            ASSERT_EQ(launcher_.starts.size(), 1u);
            EXPECT_EQ(launcher_.starts[0].path, updater.string());
            EXPECT_EQ(launcher_.starts[0].folder, work_.path());
            EXPECT_EQ(launcher_.starts[0].logLinesBefore, 1u) << "the hand-over said before";
            ASSERT_EQ(exits_.size(), 1u);
            EXPECT_EQ(exits_[0].status, 1);
            EXPECT_EQ(exits_[0].startsBefore, 1u) << "ends after starting the updater";
        } else {
            const bool started =
                k.expect == Expect::NoUpdater && !k.refusal && k.updater == Updater::Own;
            EXPECT_EQ(launcher_.starts.size(), started ? 1u : 0u);
            EXPECT_TRUE(exits_.empty());
        }
        if (k.expect != Expect::HandOver && k.expect != Expect::NoUpdater) {
            EXPECT_FALSE(fs::exists(work_ / download));
        }
        EXPECT_FALSE(fs::exists(work_ / downloadFileName("kbm")));
        EXPECT_FALSE(fs::exists(work_ / downloadFileName("kvu")));
    }
}

// A download is kept only when a trusted key signed exactly its bytes, as this program and the
// version they carry; any other is deleted, and the installed program stays as it is.
TEST_F(SelfUpdateTest, OnlyDownloadsSignedByATrustedKeyAreKept) {
    enum class Signed {
        Trusted,
        Not,
        OtherKey,
        BytesChanged,
        KeyFileOpen,
        KeyFileLink,
        Huge,
        AsOtherProgram,
        OtherVersion,
        BytesAlone
    };
    struct Case {
        const char* what;
        Signed sign;
        const char* reason; // nullptr: kept
    };
    const Case cases[] = {
        {"signed by the folder's key", Signed::Trusted, nullptr},
        {"without a signature", Signed::Not, "its signature is not 64 bytes"},
        {"signed by another key", Signed::OtherKey, "no trusted key signed it as @ 1.2.1.4"},
        {"changed after signing", Signed::BytesChanged, "no trusted key signed it as @ 1.2.1.4"},
        {"key file anyone may write", Signed::KeyFileOpen, "no trusted key signed it as @ 1.2.1.4"},
        {"key file a link", Signed::KeyFileLink, "no trusted key signed it as @ 1.2.1.4"},
        {"signature of many bytes", Signed::Huge, "its signature is not 64 bytes"},
        {"signed as the other program", Signed::AsOtherProgram,
         "no trusted key signed it as @ 1.2.1.4"},
        {"signed as another version than it carries", Signed::OtherVersion,
         "no trusted key signed it as @ 1.2.1.5"},
        {"signed over its bytes alone", Signed::BytesAlone,
         "its signature covers its bytes alone, the release must be re-signed with its name and "
         "version"},
    };
    const ReleaseKey other = makeReleaseKey(keys_.path(), "other");
    ASSERT_FALSE(other.publicKey.empty());
    for (const char* name : {"kestrun", "kbm"}) {
        const bool kestrun = name == std::string("kestrun");
        const std::string program = builtWithVersion(name, version(1, 2, 1, 4));
        for (const Case& k : cases) {
            SCOPED_TRACE(std::string(name) + ": " + k.what);
            // Windows files have no mode for anyone to write by, and Wine makes no links.
            if ((k.sign == Signed::KeyFileOpen && !systemHasModeBits()) ||
                (k.sign == Signed::KeyFileLink && !systemMakesLinks()))
                continue;
            clearFolders();
            launcher_.starts.clear();
            exits_.clear();
            const fs::path file = work_ / programFileName(name);
            installBuilt(name, version(1, 2, 1, 3), file);
            installBuilt("kvu", version(1, 0, 0, 0), work_ / programFileName("kvu"));
            const std::string installed = readFile(file);
            publish("KSN/ver.txt", "KSN:1.2.1.4\r\nKBM:1.2.1.4\r\n");
            const std::string remote = remoteOf(name);
            if (k.sign == Signed::Not || k.sign == Signed::AsOtherProgram ||
                k.sign == Signed::BytesAlone)
                publish(remote, program);
            else if (k.sign == Signed::OtherVersion)
                publish(remote, withVersion(program, version(1, 2, 1, 5)));
            else
                publishSigned(remote, program, k.sign == Signed::OtherKey ? &other : nullptr);
            // A signed Kestrun offered as the backup program, and the other way round.
            if (k.sign == Signed::AsOtherProgram) {
                ASSERT_TRUE(
                    signRelease(testKey_, site_ / remote, kestrun ? "kbm" : "kestrun", "1.2.1.4"));
            }
            // The version the manifest names, not the one the file carries.
            if (k.sign == Signed::OtherVersion) {
                ASSERT_TRUE(signRelease(testKey_, site_ / remote, name, "1.2.1.4"));
            }
            if (k.sign == Signed::BytesAlone) {
                ASSERT_TRUE(signBytesAlone(testKey_, site_ / remote));
            }
            if (k.sign == Signed::BytesChanged) {
                std::string changed = program;
                changed[changed.size() / 2] ^= 1;
                publish(remote, changed);
            }
            if (k.sign == Signed::KeyFileOpen)
                fs::permissions(work_ / "kestrun-release.pem", fs::perms::all);
            if (k.sign == Signed::KeyFileLink) {
                fs::remove(work_ / "kestrun-release.pem");
                fs::create_symlink(testKey_.publicKey, work_ / "kestrun-release.pem");
            }
            if (k.sign == Signed::Huge)
                publish(remote + ".sig", std::string(100000, 's'));

            if (kestrun)
                checks().checkKestrun();
            else
                checks().checkCompanion(OwnProgram::Kbm);

            const std::string local = downloadFileName(name);
            const auto lines = logMessages();
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(lines[0].rfind("Update downloaded, size: ", 0), 0u) << lines[0];
            if (!k.reason) {
                EXPECT_EQ(lines[1], kestrun ? "Preparing for updates, will be terminated."
                                            : "kbm was updated.");
                EXPECT_TRUE(readFile(work_ / local) == program);
                EXPECT_EQ(fs::exists(work_ / newSignatureName()), kestrun);
                EXPECT_EQ(exits_.size(), kestrun ? 1u : 0u);
                continue;
            }
            std::string reason = k.reason;
            if (const auto at = reason.find('@'); at != std::string::npos)
                reason.replace(at, 1, name);
            EXPECT_EQ(lines[1],
                      "Update refused for " + std::string(name) + ", download deleted: " + reason);
            EXPECT_FALSE(fs::exists(work_ / local));
            EXPECT_FALSE(fs::exists(work_ / newSignatureName()));
            EXPECT_TRUE(readFile(file) == installed);
            EXPECT_TRUE(launcher_.starts.empty());
            EXPECT_TRUE(exits_.empty());
        }
    }
}

TEST_F(SelfUpdateTest, UnreachableSiteIsNoConnectionForEveryCheck) {
    installBuilt("kestrun", version(1, 2, 1, 3), work_ / programFileName("kestrun"));
    ScopedEnv closed("KESTRUN_WEB_BASE", std::string("http://127.0.0.1:1/KSN"));
    checks().checkKestrun();
    checks().checkCompanion(OwnProgram::Kbm);
    checks().checkCompanion(OwnProgram::Updater);
    EXPECT_EQ(logMessages(), std::vector<std::string>(3, "Could not connect: Tavisoft Web server"));
    EXPECT_TRUE(exits_.empty());
}

} // namespace
} // namespace kestrun::test
