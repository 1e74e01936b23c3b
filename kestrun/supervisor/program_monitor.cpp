#include "kestrun/supervisor/program_monitor.h"

#include "common/text.h"
#include "platform/program_paths.h"

#include <algorithm>

namespace kestrun {

ProgramMonitor::ProgramMonitor(ProgramList& list, const std::atomic<std::int32_t>& busy,
                               MonitorHost& host, Clock& clock, ProcessTable& processes,
                               ProgramLauncher& launcher)
    : list_(list), busy_(busy), host_(host), clock_(clock), processes_(processes),
      launcher_(launcher) {}

void ProgramMonitor::check() {
    if (busy_.load() != 0)
        return;
    for (auto& entry : list_)
        entry.running = false;

    const auto table = processes_.processes();
    if (!table) {
        host_.log("Error in getting procces snapshot");
        return;
    }
    markRunning(*table);

    javaLines_.reset();
    javaLinesRead_ = false;
    for (std::size_t i = 0; i < list_.size(); ++i) {
        if (list_[i].disabled)
            continue;
        const auto command = splitProgramText(list_[i].text);
        if (!command)
            continue;
        const bool running = endsWith(command->lowerPath, ".jar") ? jarRunning(list_[i], *command)
                                                                  : list_[i].running;

        if (list_[i].mode == ProgramMode::Always) {
            if (running) {
                host_.setStatusLine(kStatusLastCheck,
                                    "Last check: " + clock_.now().format(kLogStampFormat));
            } else {
                host_.log("Image not found as running proccess: " + command->path);
                start(*command);
            }
            continue;
        }
        if (running)
            continue;
        const LocalDateTime now = clock_.now();
        if (!due(list_[i], now))
            continue;
        list_[i].lastStart = now;
        host_.log(std::string(list_[i].mode == ProgramMode::Daily
                                  ? "Its time to execute (daily): "
                                  : "Its time to execute (periodically): ") +
                  command->path);
        start(*command);
    }
    javaLines_.reset();
}

void ProgramMonitor::markRunning(const std::vector<ProcessInfo>& processes) {
    struct Candidate {
        std::size_t index;
        std::string fileName;
        // An entry that names a symbolic link also runs as the file the link leads to
        // (/usr/bin/python3 runs as python3.11).
        std::optional<std::string> targetName;
    };
    // Disabled entries take no process: a disabled twin would otherwise hide that an
    // enabled entry for the same program is missing.
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < list_.size(); ++i) {
        if (list_[i].disabled)
            continue;
        if (auto command = splitProgramText(list_[i].text)) {
            auto target = command->folder.empty() ? std::nullopt : linkTargetName(command->path);
            if (target)
                target = toLowerAscii(*target);
            candidates.push_back({i, std::move(command->fileName), std::move(target)});
        }
    }
    if (candidates.empty())
        return;
    std::vector<std::string> names;
    for (const auto& process : processes) {
        names.clear();
        for (const auto& name : process.names)
            names.push_back(toLowerAscii(name));
        // A process marks at most one entry: the first one in list order not marked yet.
        for (const auto& candidate : candidates) {
            ProgramEntry& entry = list_[candidate.index];
            if (entry.running)
                continue;
            const auto named = [&](const std::string& name) {
                return std::find(names.begin(), names.end(), name) != names.end();
            };
            if (named(candidate.fileName) ||
                (candidate.targetName && named(*candidate.targetName))) {
                entry.running = true;
                break;
            }
        }
    }
}

bool ProgramMonitor::jarRunning(ProgramEntry& entry, const ProgramCommand& command) {
    if (!javaLinesRead_) {
        javaLinesRead_ = true;
        javaLines_ = processes_.javaCommandLines();
        if (javaLines_)
            for (auto& line : *javaLines_)
                line = toLowerAscii(line);
    }
    // Without the Java command lines nothing is known: the program counts as running.
    if (!javaLines_)
        return true;
    const bool seen = std::any_of(javaLines_->begin(), javaLines_->end(), [&](const auto& line) {
        return line.find(command.lowerPath) != std::string::npos;
    });
    if (seen) {
        entry.missCount = 0;
        return true;
    }
    if (entry.missCount < kJarMissesBeforeStart - 1) {
        ++entry.missCount;
        return true;
    }
    entry.missCount = 0;
    return false;
}

bool ProgramMonitor::due(const ProgramEntry& entry, const LocalDateTime& now) const {
    if (!now.valid())
        return false;
    if ((entry.weekdays & (1u << now.weekdayFromMonday())) == 0)
        return false;
    if (entry.mode == ProgramMode::Daily) {
        if ((now.hour() * 60 + now.minute()) * 60 != entry.dailyTime)
            return false;
        // At most once in the matching minute: a start earlier in this same minute of this
        // same day is the one of today.
        const LocalDateTime& last = entry.lastStart;
        return !(last.valid() && last.year() == now.year() && last.month() == now.month() &&
                 last.day() == now.day() && last.hour() == now.hour() &&
                 last.minute() == now.minute());
    }
    const auto seconds = secondsBetween(entry.lastStart, now);
    if (!seconds)
        return true; // never started
    // Unsigned: a last start in the future (the clock was set back) does not hold it off.
    return static_cast<std::uint64_t>(wholeMinutes(*seconds)) > std::uint64_t{entry.period};
}

// Log and status lines show the path as the user gave it; matching uses the lower-cased one.
static std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A program with a folder starts there; a bare name is looked up from the working folder on
// and starts where it is found.
void ProgramMonitor::start(const ProgramCommand& command) {
    const std::filesystem::path folder =
        command.folder.empty() ? host_.workingFolder() : std::filesystem::path(command.folder);
    const auto pid = launcher_.start(command.path, command.parameters, folder, command.minimised);
    if (pid) {
        host_.setStatusLine(kStatusLastRun, "Last run: " + clock_.now().format(kLogStampFormat) +
                                                " " + baseName(command.path));
        host_.log("Image started: " + command.path);
    } else {
        host_.log("Image NOT started: " + command.path);
    }
}

} // namespace kestrun
