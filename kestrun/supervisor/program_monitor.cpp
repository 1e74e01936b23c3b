#include "kestrun/supervisor/program_monitor.h"

#include "common/text.h"
#include "kestrun/supervisor/held_programs.h"
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
    // The parts of every entry's text, split once per check (the list may change between
    // checks while its dialog edits it).
    std::vector<std::optional<ProgramCommand>> commands;
    commands.reserve(list_.size());
    for (const auto& entry : list_)
        commands.push_back(entry.disabled ? std::nullopt : splitProgramText(entry.text));
    markRunning(*table, commands);

    // The lower-cased Java command lines, made once when a ".jar" entry needs them.
    std::optional<std::vector<std::string>> javaLines;
    const auto jarRunning = [&](ProgramEntry& entry, const ProgramCommand& command) {
        if (!javaLines) {
            javaLines.emplace();
            for (const auto& process : *table)
                if (process.javaCommandLine)
                    javaLines->push_back(toLowerAscii(*process.javaCommandLine));
        }
        return jarSeen(entry, command, *javaLines);
    };
    std::string lastCheck; // the status line written last in this check
    for (std::size_t i = 0; i < list_.size(); ++i) {
        if (!commands[i])
            continue;
        const ProgramCommand& command = *commands[i];
        const bool running =
            endsWith(command.lowerPath, ".jar") ? jarRunning(list_[i], command) : list_[i].running;
        // A program being replaced stays closed until its new executable is in place.
        if (!running && held_ && held_->isHeld(command.fileName))
            continue;

        if (list_[i].mode == ProgramMode::Always) {
            if (running) {
                // Every running entry writes the time of the check; the same text twice in a
                // row is written once.
                std::string text = "Last check: " + clock_.now().format(kLogStampFormat);
                if (text != lastCheck) {
                    host_.setStatusLine(kStatusLastCheck, text);
                    lastCheck = std::move(text);
                }
            } else {
                host_.log("Image not found as running proccess: " + command.path);
                start(command);
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
                  command.path);
        start(command);
    }
}

// A process marks at most one entry: the first one in list order, not marked yet, that bears
// its name. A process left over then marks the first unmarked entry that names a symbolic link
// to it (/usr/bin/python3 runs as python3.11); links are looked at only for the entries that
// are still unmarked by then.
void ProgramMonitor::markRunning(const std::vector<ProcessInfo>& processes,
                                 const std::vector<std::optional<ProgramCommand>>& commands) {
    struct Candidate {
        std::size_t index;
        const ProgramCommand* command;
        std::optional<std::string> targetName; // lower-cased
    };
    // Disabled entries take no process: a disabled twin would otherwise hide that an
    // enabled entry for the same program is missing.
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < list_.size(); ++i)
        if (commands[i])
            candidates.push_back({i, &*commands[i], std::nullopt});
    if (candidates.empty())
        return;
    std::vector<std::vector<std::string>> names(processes.size());
    for (std::size_t p = 0; p < processes.size(); ++p)
        for (const auto& name : processes[p].names)
            names[p].push_back(toLowerAscii(name));
    std::vector<bool> used(processes.size(), false);
    const auto pass = [&](const auto& nameOf) {
        for (std::size_t p = 0; p < processes.size(); ++p) {
            if (used[p])
                continue;
            for (const auto& candidate : candidates) {
                ProgramEntry& entry = list_[candidate.index];
                const std::string* name = nameOf(candidate);
                if (!entry.running && name &&
                    std::find(names[p].begin(), names[p].end(), *name) != names[p].end()) {
                    entry.running = true;
                    used[p] = true;
                    break;
                }
            }
        }
    };
    pass([](const Candidate& c) { return &c.command->fileName; });

    bool linked = false;
    for (auto& candidate : candidates) {
        if (list_[candidate.index].running || candidate.command->folder.empty())
            continue;
        if (auto target = linkTargetName(candidate.command->path)) {
            candidate.targetName = toLowerAscii(*target);
            linked = true;
        }
    }
    if (linked)
        pass([](const Candidate& c) { return c.targetName ? &*c.targetName : nullptr; });
}

bool ProgramMonitor::jarSeen(ProgramEntry& entry, const ProgramCommand& command,
                             const std::vector<std::string>& javaLines) {
    const bool seen = std::any_of(javaLines.begin(), javaLines.end(), [&](const auto& line) {
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
