#include "kestrun/supervisor/program_monitor.h"

#include "common/text.h"
#include "kestrun/supervisor/held_programs.h"
#include "platform/path_rules.h"
#include "platform/program_paths.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

namespace kestrun {

namespace {

// The words of the parameters, split at blanks and tabs outside double quotes, as the launcher
// splits them.
std::vector<std::string> parameterWords(std::string_view parameters) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i <= parameters.size(); ++i) {
        const char c = i < parameters.size() ? parameters[i] : ' ';
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord && !word.empty())
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    return words;
}

bool hasScriptSuffix(std::string_view word) {
    const std::string lower = toLowerAscii(word);
    for (const char* suffix : {".py", ".pl", ".pm", ".js", ".mjs", ".cjs", ".sh", ".bash", ".rb",
                               ".php", ".tcl", ".lua"})
        if (lower.size() > std::strlen(suffix) && lower.ends_with(suffix))
            return true;
    return false;
}

// The script an interpreter runs, as the process table finds it: the first word that names an
// existing file (a relative one taken from the folder the entry starts in); where none does
// (a script not in place yet, a bare name run from elsewhere), the first word that is no option
// and ends like a script. Options and their values ("-m module", "-c text") name none.
std::optional<std::string> scriptWord(std::string_view parameters, const std::string& folder) {
    const auto words = parameterWords(parameters);
    for (const std::string& word : words) {
        if (word[0] == '-')
            continue;
        const std::filesystem::path path = isAbsolutePath(word) || folder.empty()
                                               ? std::filesystem::path(word)
                                               : std::filesystem::path(folder) / word;
        std::error_code ec;
        if (std::filesystem::is_regular_file(path, ec))
            return word;
    }
    for (const std::string& word : words)
        if (word[0] != '-' && hasScriptSuffix(word))
            return word;
    return std::nullopt;
}

// The script an entry for an interpreter names, as it is compared with a process's script
// (ProcessInfo::script), both lower-cased like file names. A script given with a folder is
// compared as a full path (a relative one is taken from the folder the entry starts in):
// only that very file counts. A bare script name is compared with the process script's base
// name, wherever that lies, as an entry that names the script directly is.
struct WantedScript {
    std::string lower;
    bool fullPath = false;

    bool matches(const std::optional<std::string>& script) const {
        if (!script)
            return false;
        const std::string process = toLowerAscii(*script);
        if (fullPath)
            return process == lower;
        return splitPath(process).name == lower;
    }
};

std::optional<WantedScript> wantedScript(const ProgramCommand& command) {
    if (!isInterpreterName(command.fileName))
        return std::nullopt;
    const auto word = scriptWord(command.parameters, command.folder);
    if (!word)
        return std::nullopt;
    if (!holdsPathSeparator(*word) || (!isAbsolutePath(*word) && command.folder.empty()))
        return WantedScript{toLowerAscii(splitPath(*word).name), false};
    const std::filesystem::path full = isAbsolutePath(*word)
                                           ? std::filesystem::path(*word)
                                           : std::filesystem::path(command.folder) / *word;
    return WantedScript{toLowerAscii(full.lexically_normal().string()), true};
}

std::string describeExit(const std::optional<ProgramExit>& exit) {
    if (!exit)
        return "exit status unknown";
    return exit->signalled ? "last ended by signal " + std::to_string(exit->code)
                           : "last exit status " + std::to_string(exit->code);
}

} // namespace

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

    launcher_.collectEnded();
    const auto table = processes_.processes();
    if (!table) {
        host_.log("Error in getting procces snapshot");
        return;
    }
    followList();
    std::vector<std::optional<std::int64_t>> endedPids(list_.size());
    forgetEndedPids(*table, endedPids);
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
        EntryState& state = states_[i];
        const bool fresh = std::exchange(state.fresh, false);
        if (endedPids[i])
            noteEnded(state, *endedPids[i]);
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
                state.endedStarts = 0;
                state.quiet = false;
                // Every running entry writes the time of the check; the same text twice in a
                // row is written once.
                std::string text = "Last check: " + clock_.now().format(kLogStampFormat);
                if (text != lastCheck) {
                    host_.setStatusLine(kStatusLastCheck, text);
                    lastCheck = std::move(text);
                }
                continue;
            }
            if (fresh && endedPids[i])
                countEndedStart(state, command.path);
            if (state.quiet && clock_.monotonicMs() - state.summaryMs >= kEndingSummaryMs)
                summarise(state, command.path, state.startsSinceSummary, state.summarySince);
            if (!state.quiet)
                host_.log("Image not found as running proccess: " + command.path);
            start(i, command);
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
        start(i, command);
    }
}

// The states of the last check go to the entries of the same text, in order.
void ProgramMonitor::followList() {
    std::map<std::string, std::vector<std::size_t>> byText;
    for (std::size_t j = states_.size(); j-- > 0;)
        byText[states_[j].text].push_back(j);
    std::vector<EntryState> next;
    next.reserve(list_.size());
    for (const auto& entry : list_) {
        const auto found = byText.find(entry.text);
        if (found != byText.end() && !found->second.empty()) {
            next.push_back(std::move(states_[found->second.back()]));
            found->second.pop_back();
        } else {
            next.push_back(EntryState{});
            next.back().text = entry.text;
        }
    }
    states_ = std::move(next);
}

// A pid we kept counts only while every snapshot holds it: once it is missing the process has
// ended (and the pid may be given to another process later).
void ProgramMonitor::forgetEndedPids(const std::vector<ProcessInfo>& processes,
                                     std::vector<std::optional<std::int64_t>>& endedPids) {
    for (std::size_t i = 0; i < states_.size(); ++i) {
        auto& pid = states_[i].pid;
        if (!pid)
            continue;
        // A process we collected has ended, even when its id already names another process.
        const bool present = std::any_of(processes.begin(), processes.end(),
                                         [&](const ProcessInfo& p) { return p.pid == *pid; });
        if (!present || launcher_.hasEnded(*pid)) {
            endedPids[i] = pid;
            pid.reset();
        }
    }
}

void ProgramMonitor::noteEnded(EntryState& state, std::int64_t pid) {
    state.lastOutcome = describeExit(launcher_.exitOf(pid));
}

// A start that failed, or whose process was gone by the next check.
void ProgramMonitor::countEndedStart(EntryState& state, const std::string& path) {
    if (state.endedStarts++ == 0)
        state.endingSince = state.startedAt;
    if (!state.quiet && state.endedStarts >= kEndingStartsBeforeSummary) {
        state.quiet = true;
        summarise(state, path, state.endedStarts, state.endingSince);
    }
}

void ProgramMonitor::summarise(EntryState& state, const std::string& path, int starts,
                               const LocalDateTime& since) {
    host_.log("Image keeps ending: " + path + " (" + std::to_string(starts) + " starts since " +
              since.format(kLogStampFormat) + ", " + state.lastOutcome + ")");
    state.summaryMs = clock_.monotonicMs();
    state.summarySince = clock_.now();
    state.startsSinceSummary = 0;
}

// A process marks at most one entry. The process we started for an entry marks that entry.
// Any other marks the first entry in list order, not marked yet, that bears its name; a process
// left over then marks the first unmarked entry that names a symbolic link to it
// (/usr/bin/python3 runs as python3.11); links are looked at only for the entries that are
// still unmarked by then. An entry that runs a script through its interpreter takes only a
// process of that interpreter that runs that script: other scripts of the interpreter are other
// programs.
void ProgramMonitor::markRunning(const std::vector<ProcessInfo>& processes,
                                 const std::vector<std::optional<ProgramCommand>>& commands) {
    struct Candidate {
        std::size_t index;
        const ProgramCommand* command;
        std::optional<std::string> targetName; // lower-cased
        std::optional<WantedScript> script;
    };
    // Disabled entries take no process: a disabled twin would otherwise hide that an
    // enabled entry for the same program is missing.
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < list_.size(); ++i)
        if (commands[i])
            candidates.push_back({i, &*commands[i], std::nullopt, wantedScript(*commands[i])});
    if (candidates.empty())
        return;
    std::vector<bool> used(processes.size(), false);
    for (const auto& candidate : candidates) {
        const auto& pid = states_[candidate.index].pid;
        for (std::size_t p = 0; pid && p < processes.size(); ++p)
            if (processes[p].pid == *pid && !used[p]) {
                list_[candidate.index].running = true;
                used[p] = true;
                break;
            }
    }
    std::vector<std::vector<std::string>> names(processes.size());
    for (std::size_t p = 0; p < processes.size(); ++p)
        for (const auto& name : processes[p].names)
            names[p].push_back(toLowerAscii(name));
    const auto pass = [&](const auto& nameOf) {
        for (std::size_t p = 0; p < processes.size(); ++p) {
            if (used[p])
                continue;
            for (const auto& candidate : candidates) {
                ProgramEntry& entry = list_[candidate.index];
                const std::string* name = nameOf(candidate);
                if (!entry.running && name &&
                    std::find(names[p].begin(), names[p].end(), *name) != names[p].end() &&
                    (!candidate.script || candidate.script->matches(processes[p].script))) {
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
    return std::string(splitPath(path).name);
}

// A program with a folder starts there; a bare name is looked up from the working folder on
// and starts where it is found.
void ProgramMonitor::start(std::size_t index, const ProgramCommand& command) {
    EntryState& state = states_[index];
    const bool always = list_[index].mode == ProgramMode::Always;
    const std::filesystem::path folder =
        command.folder.empty() ? host_.workingFolder() : std::filesystem::path(command.folder);
    state.startedAt = clock_.now();
    if (state.quiet)
        ++state.startsSinceSummary;
    const StartResult result =
        launcher_.start(command.path, command.parameters, folder, command.minimised);
    if (result) {
        host_.setStatusLine(kStatusLastRun, "Last run: " + clock_.now().format(kLogStampFormat) +
                                                " " + baseName(command.path));
        if (!state.quiet)
            host_.log("Image started: " + command.path);
        state.loggedCause.clear();
        if (*result.pid > 0) {
            state.pid = *result.pid;
            state.fresh = true;
        }
        return;
    }
    if (!state.quiet) {
        host_.log("Image NOT started: " + command.path);
        if (result.reason != state.loggedCause)
            host_.log("Start failed (" + result.reason + "): " + command.path);
        state.loggedCause = result.reason;
    }
    state.lastOutcome = "last start failed: " + result.reason;
    if (always)
        countEndedStart(state, command.path);
}

} // namespace kestrun
