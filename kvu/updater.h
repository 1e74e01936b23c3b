#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

class Clock;
class ProgramLauncher;

// What the updater works on; the program passes the real ones, tests temporary folders, a test
// clock and a launcher of their own.
struct UpdaterSetup {
    Clock& clock;
    ProgramLauncher& launcher;
    std::filesystem::path workingFolder;            // Kestrun's folder, where kestrun~ lies
    std::vector<std::filesystem::path> lockFolders; // where Kestrun's instance lock may lie
    std::chrono::milliseconds endLimit{std::chrono::seconds(60)};   // for Kestrun to end
    std::chrono::milliseconds startLimit{std::chrono::seconds(60)}; // for the new one to start
    std::chrono::milliseconds pollInterval{100};
    // Run by the service manager before it starts Kestrun (a service's pre-start step): the
    // manager starts Kestrun itself, so the updater only puts a newer kestrun~ in place.
    bool beforeServiceStart = false;
};

// The updater: once Kestrun has ended it puts the downloaded "kestrun~" in place of "kestrun"
// and starts Kestrun again. Every step is one line of Kestrun's event log. The replaced file
// stays as "kestrun.old" until the new Kestrun has written its "Program started" line; when the
// new one ends without that line, the old file is put back and started. When there is no
// usable new file, the old Kestrun starts again; when Kestrun does not end in time, nothing is
// touched.
// Before a service start it neither waits nor starts anything: with no kestrun~ it does
// nothing at all, a kestrun~ that is not newer than kestrun is left where it is (an old
// download must not undo an upgrade), and while a Kestrun runs nothing is touched. A newer one
// is put in place and kestrun.old kept, since the new Kestrun starts only after the updater.
class Updater {
public:
    enum class Outcome {
        Replaced,            // the new Kestrun was started
        OldStarted,          // no new Kestrun could be put in place; the old one was started
        KestrunStillRunning, // Kestrun did not end in time; nothing was changed
        NothingStarted,      // no Kestrun could be started at all
        NothingToDo,         // before a service start: nothing was there to put in place
        LeftAsItIs,          // before a service start: kestrun~ could not or need not be used
    };

    static constexpr const char* kInstanceName = "KESTRUN_1.0"; // Kestrun's instance lock
    static constexpr const char* kLogName = "Kestrun.log";
    static constexpr const char* kProgramName = "kestrun";
    static constexpr const char* kNewName = "kestrun~";
    static constexpr const char* kOldName = "kestrun.old";

    explicit Updater(UpdaterSetup setup);
    Outcome run();

private:
    Outcome runBeforeServiceStart();
    // Whether a Kestrun lives: it holds its instance lock, which is let go again at once when
    // it is free, so that the Kestrun started next can take it.
    bool kestrunHoldsItsLock() const;
    bool waitForKestrunToEnd();
    // Why kestrun~ cannot be used, or empty when it can; readies its mode when it can.
    std::string unusableReason();
    bool putNewInPlace();
    void putOldBack();
    bool startKestrun();
    bool waitForStartLine(std::uintmax_t logOffset);
    Outcome startOld(std::string_view reason);
    void log(std::string_view message);

    std::filesystem::path file(const char* name) const { return setup_.workingFolder / name; }

    UpdaterSetup setup_;
    bool keptOld_ = false;
};

} // namespace kestrun
