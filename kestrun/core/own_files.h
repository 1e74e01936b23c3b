#pragma once

#include "kestrun/supervisor/program_list.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

class EventLog;

// Names the language mirror never writes: the supervised programs, and the system's own
// programs, lists and keys in case the client application shares the working folder.
std::vector<std::string> namesNotToMirror(const ProgramList& programs);

// What Kestrun runs and reads from its working folder is used only while users outside this
// user's trust cannot change it (by mode or by access list): the folder itself, the program
// list, the backup lists and the backup program, the release keys and the certificates. Each
// refusal is said once in the event log, when it begins, and again if it begins anew after
// the file was trusted meanwhile.
class WorkingFolderTrust {
public:
    // Both are held by reference: the working folder may still change at start-up.
    WorkingFolderTrust(const EventLog& log, const std::filesystem::path& workingFolder);

    // The folder and "progs.lst".
    bool programsMayRun();
    // The folder, "backup.lst", "xbackup.lst" and the backup program that would be started.
    bool backupsMayRun(const std::optional<std::filesystem::path>& backupProgram);
    // The folder.
    bool selfUpdateMayRun();
    // "kestrun-release.pem" and "ca.pem" are not used (their readers pass them over) while
    // others may change them: said here, before the update engine works.
    void sayUnusedKeysAndCertificates();

private:
    bool folderTrusted(bool& said, std::string_view refused);
    // False when others may change the file; the refusal is said when it begins.
    bool fileTrusted(const std::filesystem::path& file, bool othersMayChangeIt,
                     std::string_view refused);

    const EventLog& log_;
    const std::filesystem::path& folder_;
    bool folderSaid_ = false;
    bool selfUpdateSaid_ = false;
    std::set<std::string> refusing_; // the refusals said and still going on
};

} // namespace kestrun
