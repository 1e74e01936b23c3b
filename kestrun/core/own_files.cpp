#include "kestrun/core/own_files.h"

#include "common/backup_list.h"
#include "kestrun/core/event_log.h"
#include "kestrun/update/program_replace.h"
#include "kestrun/update/web_updates.h"

namespace kestrun {

std::vector<std::string> namesNotToMirror(const ProgramList& programs) {
    std::vector<std::string> names = {"kestrun",
                                      "kbm",
                                      "kvu",
                                      "kestrun~",
                                      "kbm~",
                                      "kvu~",
                                      "kestrun.old",
                                      "java.log",
                                      "tobkp",
                                      "KbmBackup.log",
                                      "kestrun-release.pem",
                                      WebUpdates::kCaFileName,
                                      EventLog::kFileName,
                                      kProgramListFileName,
                                      kIncludeListFile,
                                      kExcludeListFile};
    for (const ProgramEntry& entry : programs) {
        const auto command = splitProgramText(entry.text);
        names.push_back(command ? command->fileName : fileNameOf(entry.text));
    }
    return names;
}

} // namespace kestrun
