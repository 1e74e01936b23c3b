#include "kestrun/ui/programs_form.h"

#include <limits>

namespace kestrun {

namespace {

// The date a new entry's last start carries: day zero of the date type, valid.
LocalDateTime zeroDate() {
    return LocalDateTime::fromFields(1899, 12, 30, 0, 0, 0);
}

std::uint8_t weekdayMask(const std::array<bool, 7>& days) {
    std::uint8_t mask = 0;
    for (std::size_t day = 0; day < days.size(); ++day)
        if (days[day])
            mask = static_cast<std::uint8_t>(mask | (1u << day));
    return mask;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

const char* formMessageText(FormMessage message) {
    switch (message) {
    case FormMessage::SelectSomething:
        return "Please select something!";
    case FormMessage::ChooseScheduler:
        return "Please choose sheduler mode!";
    case FormMessage::Unstorable:
        return "A tab or a line break cannot be stored in the program list: please choose "
               "another file or change the parameters.";
    case FormMessage::None:
        break;
    }
    return "";
}

std::string programRowText(const ProgramEntry& entry) {
    switch (entry.mode) {
    case ProgramMode::Daily:
        return entry.text + " -> daily";
    case ProgramMode::Periodic:
        return entry.text + " -> periodically";
    case ProgramMode::Always:
        break;
    }
    return entry.text + " -> always";
}

std::optional<std::uint32_t> parsePeriod(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max())
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool storableInLine(std::string_view text) {
    return text.find_first_of("\t\r\n") == std::string_view::npos;
}

ProgramsForm::ProgramsForm(ProgramList& programs, const LocalDateTime& now) : programs_(programs) {
    if (now.valid()) {
        fields_.hour = now.hour();
        fields_.minute = now.minute();
        fields_.second = now.second();
    }
    for (const ProgramEntry& entry : programs_)
        rows_.push_back({programRowText(entry), !entry.disabled});
}

void ProgramsForm::chooseScheduler(Scheduler choice) {
    scheduler_ = choice;
    switch (choice) {
    case Scheduler::Always:
        enabled_ = {false, false, false};
        break;
    case Scheduler::Daily:
        enabled_ = {true, true, false};
        break;
    case Scheduler::Periodically:
        enabled_ = {true, false, true};
        break;
    case Scheduler::None:
        enabled_ = {};
        break;
    }
}

void ProgramsForm::setRowChecked(int row, bool checked) {
    if (row >= 0 && row < static_cast<int>(rows_.size()))
        rows_[static_cast<std::size_t>(row)].checked = checked;
}

bool ProgramsForm::hasEntry(int row) const {
    return row >= 0 && row < static_cast<int>(programs_.size()) &&
           row < static_cast<int>(rows_.size());
}

bool ProgramsForm::clickRow(int row) {
    selectedRow_ = hasEntry(row) ? row : -1;
    if (!hasEntry(selectedRow_))
        return false;
    const ProgramEntry& entry = programs_[static_cast<std::size_t>(selectedRow_)];
    fields_.hour = fields_.minute = fields_.second = 0;
    fields_.period = 0;
    switch (entry.mode) {
    case ProgramMode::Always:
        chooseScheduler(Scheduler::Always);
        break;
    case ProgramMode::Daily:
        chooseScheduler(Scheduler::Daily);
        // A hand-edited time outside the day shows as midnight.
        if (entry.dailyTime >= 0 && entry.dailyTime < 24 * 3600) {
            fields_.hour = entry.dailyTime / 3600;
            fields_.minute = entry.dailyTime % 3600 / 60;
            fields_.second = entry.dailyTime % 60;
        }
        break;
    case ProgramMode::Periodic:
        chooseScheduler(Scheduler::Periodically);
        fields_.period = entry.period;
        break;
    }
    if (const auto command = splitProgramText(entry.text)) {
        fields_.path = command->path;
        fields_.parameters = command->parameters;
        fields_.minimised = command->minimised;
    }
    for (std::size_t day = 0; day < fields_.weekdays.size(); ++day)
        fields_.weekdays[day] = (entry.weekdays >> day & 1u) != 0;
    return true;
}

void ProgramsForm::pickRow(int row) {
    selectedRow_ = hasEntry(row) ? row : -1;
}

std::optional<ProgramEntry> ProgramsForm::entryFromFields(const ProgramEntry& base) const {
    ProgramEntry entry = base;
    entry.text = fields_.path + "?" + (fields_.minimised ? "m" : "n") + fields_.parameters;
    entry.weekdays = weekdayMask(fields_.weekdays);
    entry.dailyTime = 0;
    entry.period = 0;
    switch (scheduler_) {
    case Scheduler::Always:
        entry.mode = ProgramMode::Always;
        entry.weekdays = 0;
        break;
    case Scheduler::Daily:
        entry.mode = ProgramMode::Daily;
        entry.dailyTime = fields_.hour * 3600 + fields_.minute * 60;
        break;
    case Scheduler::Periodically:
        entry.mode = ProgramMode::Periodic;
        entry.period = fields_.period;
        break;
    case Scheduler::None:
        return std::nullopt;
    }
    return entry;
}

FormMessage ProgramsForm::add() {
    if (fields_.path.empty())
        return FormMessage::SelectSomething;
    ProgramEntry fresh;
    fresh.lastStart = zeroDate();
    auto entry = entryFromFields(fresh);
    if (!entry)
        return FormMessage::ChooseScheduler;
    if (!storableInLine(entry->text))
        return FormMessage::Unstorable;
    programs_.push_back(*entry);
    rows_.push_back({programRowText(*entry), true});
    selectedRow_ = static_cast<int>(rows_.size()) - 1;
    return FormMessage::None;
}

FormMessage ProgramsForm::modify() {
    if (!hasEntry(selectedRow_))
        return FormMessage::None;
    const auto index = static_cast<std::size_t>(selectedRow_);
    auto entry = entryFromFields(programs_[index]);
    if (!entry)
        return FormMessage::ChooseScheduler;
    if (!storableInLine(entry->text))
        return FormMessage::Unstorable;
    entry->disabled = !rows_[index].checked;
    entry->running = false;
    programs_[index] = *entry;
    rows_[index].text = programRowText(*entry);
    return FormMessage::None;
}

void ProgramsForm::remove() {
    if (!hasEntry(selectedRow_))
        return;
    const auto index = static_cast<std::ptrdiff_t>(selectedRow_);
    programs_.erase(programs_.begin() + index);
    rows_.erase(rows_.begin() + index);
    // The row that moved into the place is selected now; past the last row, none is.
    if (!hasEntry(selectedRow_))
        selectedRow_ = -1;
}

} // namespace kestrun
