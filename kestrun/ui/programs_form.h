#pragma once

#include "common/local_date_time.h"
#include "kestrun/supervisor/program_list.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// The scheduler radio button that is checked; None until the user picks one or a row.
enum class Scheduler { None, Always, Daily, Periodically };

// What the programs dialog shows and reads back from its controls.
struct ProgramFields {
    std::string path;
    std::string parameters;
    bool minimised = false;
    std::array<bool, 7> weekdays{}; // Monday first
    int hour = 0, minute = 0, second = 0;
    std::uint32_t period = 0;
};

// Which schedule controls are enabled.
struct ScheduleControls {
    bool weekdays = true;
    bool time = true;
    bool period = true;
};

struct ProgramRow {
    std::string text;
    bool checked = true; // the entry is supervised
};

// A message box an action ends with; None when it went through or had nothing to do.
enum class FormMessage { None, SelectSomething, ChooseScheduler, Unstorable };
const char* formMessageText(FormMessage message);

// "<text> -> always|daily|periodically"
std::string programRowText(const ProgramEntry& entry);
// A period as the user typed it: a non-negative whole number of 32 bits, blanks around allowed.
std::optional<std::uint32_t> parsePeriod(std::string_view text);
// A tab or a line break would split the line the text is stored in.
bool storableInLine(std::string_view text);

// The programs dialog without its window: the fields, the scheduler choice, the rows and the
// actions on the program list. Rows and entries share their positions, so a row addresses its
// entry directly, also when several entries have the same text.
class ProgramsForm {
public:
    ProgramsForm(ProgramList& programs, const LocalDateTime& now);

    ProgramFields& fields() { return fields_; }
    const ProgramFields& fields() const { return fields_; }
    Scheduler scheduler() const { return scheduler_; }
    const ScheduleControls& enabled() const { return enabled_; }
    const std::vector<ProgramRow>& rows() const { return rows_; }
    int selectedRow() const { return selectedRow_; }

    void chooseScheduler(Scheduler choice);
    // The user ticked or cleared a row's check box; the entry follows only at Modify.
    void setRowChecked(int row, bool checked);
    // Left click or a keyboard move (-1 off the rows): selects the row and loads its entry
    // into the fields; returns whether the row had one.
    bool clickRow(int row);
    // Right click: selects the row, the fields stay.
    void pickRow(int row);

    FormMessage add();
    FormMessage modify();
    // Removes the selected row's entry; the row that moves into its place is selected then.
    void remove();

private:
    std::optional<ProgramEntry> entryFromFields(const ProgramEntry& base) const;
    bool hasEntry(int row) const;

    ProgramList& programs_;
    ProgramFields fields_;
    Scheduler scheduler_ = Scheduler::None;
    ScheduleControls enabled_;
    std::vector<ProgramRow> rows_;
    int selectedRow_ = -1;
};

} // namespace kestrun
