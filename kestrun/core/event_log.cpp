#include "kestrun/core/event_log.h"

#include "platform/clock.h"
#include "platform/log_file.h"

namespace kestrun {

EventLog::EventLog(Clock& clock, std::filesystem::path workingFolder)
    : clock_(clock), file_(std::move(workingFolder) / kFileName) {}

void EventLog::log(std::string_view message) const {
    logProgramEvent(file_, clock_.now(), message);
}

} // namespace kestrun
