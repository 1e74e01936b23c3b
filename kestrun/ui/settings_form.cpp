#include "kestrun/ui/settings_form.h"

#include "kestrun/core/settings.h"

#include <charconv>

namespace kestrun {

using namespace settings_ids;

std::string outOfRangeMessage(std::int64_t low, std::int64_t high) {
    return "Введите целое число от " + std::to_string(low) + " до " + std::to_string(high) + ".";
}

namespace {

std::string_view trimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A whole number with an optional sign and blanks around it; an unsigned one takes no minus.
template <typename T> std::optional<T> parseWhole(std::string_view text) {
    text = trimBlanks(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-')
            return std::nullopt;
    }
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string stripOneTrailingSeparator(std::string text) {
    if (!text.empty() && (text.back() == '/' || text.back() == '\\'))
        text.pop_back();
    return text;
}

// Which controls each update mode enables: host, port, web path, executable 1 with its
// button, check time, alert time, notice interval, executable 2 with its button.
struct ModeRule {
    bool uhost, uport, uhttp, ufile, upull, upost, promt, ufile2;
};
constexpr ModeRule kModeRules[] = {
    {false, false, false, false, false, false, false, false}, // disabled
    {false, true, true, true, true, true, true, false},       // update server
    {true, true, true, true, false, false, true, false},      // update client
    {false, true, true, true, false, false, true, true},      // server and client
};

} // namespace

std::optional<std::int32_t> parseSignedField(std::string_view text) {
    return parseWhole<std::int32_t>(text);
}

std::optional<std::uint32_t> parseUnsignedField(std::string_view text) {
    return parseWhole<std::uint32_t>(text);
}

void SettingsForm::open(const Settings& s) {
    fields_.delay = s.delay;
    fields_.period = s.period;
    fields_.port = static_cast<std::uint32_t>(s.port.load());
    fields_.passive = s.passive != 0;
    fields_.path = s.path;
    fields_.host = s.host;
    fields_.user = s.user;
    fields_.password = s.password;
    fields_.umode = s.umode;
    fields_.uhost = s.uhost;
    fields_.uport = static_cast<std::uint32_t>(s.uport.load());
    fields_.uhttp = s.uhttp;
    fields_.ufile = s.ufile;
    fields_.ufile2 = s.ufile2;
    fields_.upull = s.upull;
    fields_.upost = s.upost;
    fields_.promt = s.promt;
    fields_.autodelete = static_cast<std::uint32_t>(s.autodelete.load());
    chooseDestination(s.folder != 0);
    if (fields_.umode >= 0 && fields_.umode <= 3)
        applyModeRule(fields_.umode);
    showFields();
}

void SettingsForm::chooseDestination(bool folder) {
    view_.setEnabled(kPath, folder);
    view_.setEnabled(kBrowsePath, folder);
    for (int id : {kHost, kPort, kUser, kPassword, kPassive})
        view_.setEnabled(id, !folder);
    view_.setEnabled(kAutodelete, folder);
    view_.setChecked(kToFolder, folder);
    view_.setChecked(kToFtp, !folder);
}

void SettingsForm::applyModeRule(std::int32_t mode) {
    const ModeRule& rule = kModeRules[mode >= 0 && mode <= 3 ? mode : 3];
    view_.setEnabled(kUhost, rule.uhost);
    view_.setEnabled(kUport, rule.uport);
    view_.setEnabled(kUhttp, rule.uhttp);
    view_.setEnabled(kUfile, rule.ufile);
    view_.setEnabled(kBrowseUfile, rule.ufile);
    view_.setEnabled(kUpull, rule.upull);
    view_.setEnabled(kUpost, rule.upost);
    view_.setEnabled(kPromt, rule.promt);
    view_.setEnabled(kUfile2, rule.ufile2);
    view_.setEnabled(kBrowseUfile2, rule.ufile2);
}

void SettingsForm::modeChanged() {
    readControls(); // a refused value has been reported; the rule follows what was read
    applyModeRule(fields_.umode);
}

namespace {

struct Range {
    std::int64_t low, high;
};

} // namespace

bool SettingsForm::readControls() {
    const auto readSigned = [this](int id, std::int32_t& field, Range range) {
        const auto value = parseSignedField(view_.text(id));
        if (!value) {
            view_.refuse(id, kNotAnInteger);
            return false;
        }
        field = *value;
        if (*value < range.low || *value > range.high) {
            view_.refuse(id, outOfRangeMessage(range.low, range.high));
            return false;
        }
        return true;
    };
    const auto readUnsigned = [this](int id, std::uint32_t& field,
                                     std::optional<Range> range = std::nullopt) {
        const auto value = parseUnsignedField(view_.text(id));
        if (!value) {
            view_.refuse(id, kNotAPositiveInteger);
            return false;
        }
        field = *value;
        if (range && (*value < range->low || *value > range->high)) {
            view_.refuse(id, outOfRangeMessage(range->low, range->high));
            return false;
        }
        return true;
    };
    constexpr Range kPortRange{1, 65535};
    SettingsFields& f = fields_;
    if (!readSigned(kDelay, f.delay, {1, 100}) || !readSigned(kPeriod, f.period, {0, 100}))
        return false;
    f.path = view_.text(kPath);
    f.host = view_.text(kHost);
    if (!readUnsigned(kPort, f.port, kPortRange))
        return false;
    f.user = view_.text(kUser);
    f.password = view_.text(kPassword);
    f.passive = view_.checked(kPassive);
    f.umode = view_.selection(kUmode);
    f.uhost = view_.text(kUhost);
    if (!readUnsigned(kUport, f.uport, kPortRange))
        return false;
    f.uhttp = view_.text(kUhttp);
    f.ufile = view_.text(kUfile);
    if (!readUnsigned(kUpull, f.upull, Range{10, 65536}) ||
        !readUnsigned(kUpost, f.upost, Range{0, 65536}) || !readUnsigned(kPromt, f.promt))
        return false;
    f.ufile2 = view_.text(kUfile2);
    return readUnsigned(kAutodelete, f.autodelete);
}

void SettingsForm::showFields() {
    view_.setText(kDelay, std::to_string(fields_.delay));
    view_.setText(kPeriod, std::to_string(fields_.period));
    view_.setText(kPath, fields_.path);
    view_.setText(kHost, fields_.host);
    view_.setText(kPort, std::to_string(fields_.port));
    view_.setText(kUser, fields_.user);
    view_.setText(kPassword, fields_.password);
    view_.setChecked(kPassive, fields_.passive);
    view_.setSelection(kUmode, fields_.umode);
    view_.setText(kUhost, fields_.uhost);
    view_.setText(kUport, std::to_string(fields_.uport));
    view_.setText(kUhttp, fields_.uhttp);
    view_.setText(kUfile, fields_.ufile);
    view_.setText(kUpull, std::to_string(fields_.upull));
    view_.setText(kUpost, std::to_string(fields_.upost));
    view_.setText(kPromt, std::to_string(fields_.promt));
    view_.setText(kUfile2, fields_.ufile2);
    view_.setText(kAutodelete, std::to_string(fields_.autodelete));
}

bool SettingsForm::accept(Settings& s) {
    if (!readControls())
        return false;
    fields_.path = stripOneTrailingSeparator(std::move(fields_.path));
    fields_.uhttp = stripOneTrailingSeparator(std::move(fields_.uhttp));
    restart_ =
        fields_.umode != s.umode || fields_.uport != static_cast<std::uint32_t>(s.uport.load());
    s.folder = view_.checked(kToFolder) ? 1 : 0;
    s.autodelete = s.folder == 1 ? static_cast<std::int32_t>(fields_.autodelete) : 0;
    s.passive = fields_.passive ? 1 : 0;
    s.delay = fields_.delay;
    s.period = fields_.period;
    s.port = static_cast<std::int32_t>(fields_.port);
    s.host = fields_.host;
    s.user = fields_.user;
    s.password = fields_.password;
    s.path = fields_.path;
    s.umode = fields_.umode;
    s.uhost = fields_.uhost;
    s.uport = static_cast<std::int32_t>(fields_.uport);
    s.uhttp = fields_.uhttp;
    s.ufile = fields_.ufile;
    s.ufile2 = fields_.ufile2;
    s.upull = fields_.upull;
    s.upost = fields_.upost;
    if (s.umode == 2) {
        s.upost = 60;
        s.upull = 10;
    }
    s.promt = s.umode > 0 ? fields_.promt : 0;
    return true;
}

} // namespace kestrun
