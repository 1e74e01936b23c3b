#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

struct Settings;

// Control ids of the settings window.
namespace settings_ids {
inline constexpr int kDelay = 1002;
inline constexpr int kUser = 1003;
inline constexpr int kPeriod = 1004;
inline constexpr int kPath = 1005;
inline constexpr int kBrowsePath = 1006;
inline constexpr int kToFolder = 1007;
inline constexpr int kToFtp = 1008;
inline constexpr int kHost = 1009;
inline constexpr int kPort = 1010;
inline constexpr int kPassword = 1011;
inline constexpr int kPassive = 1012;
inline constexpr int kUhttp = 1013;
inline constexpr int kUhost = 1014;
inline constexpr int kUmode = 1015;
inline constexpr int kUport = 1016;
inline constexpr int kUfile = 1017;
inline constexpr int kBrowseUfile = 1018;
inline constexpr int kUpull = 1019;
inline constexpr int kUpost = 1020;
inline constexpr int kPromt = 1021;
inline constexpr int kUfile2 = 1022;
inline constexpr int kBrowseUfile2 = 1023;
inline constexpr int kAutodelete = 1024;
} // namespace settings_ids

// The values the settings window edits, as its controls show them.
struct SettingsFields {
    std::int32_t delay = 0;
    std::int32_t period = 0;
    std::string path;
    std::string host;
    std::uint32_t port = 0;
    std::string user;
    std::string password;
    bool passive = false;
    std::int32_t umode = 0; // the list's selection; -1 when nothing is selected
    std::string uhost;
    std::uint32_t uport = 0;
    std::string uhttp;
    std::string ufile;
    std::uint32_t upull = 0;
    std::uint32_t upost = 0;
    std::uint32_t promt = 0;
    std::string ufile2;
    std::uint32_t autodelete = 0;
};

// The texts of a refused number.
inline constexpr const char* kNotAnInteger = "Введите целое число.";
inline constexpr const char* kNotAPositiveInteger = "Введите положительное целое число.";
// "Введите целое число от <low> до <high>."
std::string outOfRangeMessage(std::int64_t low, std::int64_t high);

// A whole signed or unsigned 32-bit number, blanks allowed around it; nullopt otherwise.
std::optional<std::int32_t> parseSignedField(std::string_view text);
std::optional<std::uint32_t> parseUnsignedField(std::string_view text);

// What the form needs of the window's controls, by control id.
class SettingsView {
public:
    virtual ~SettingsView() = default;
    virtual std::string text(int id) const = 0;
    virtual void setText(int id, const std::string& text) = 0;
    virtual bool checked(int id) const = 0;
    virtual void setChecked(int id, bool on) = 0;
    virtual int selection(int id) const = 0;
    virtual void setSelection(int id, int index) = 0;
    virtual void setEnabled(int id, bool on) = 0;
    // Tells the user why a value was refused and puts the focus on its control.
    virtual void refuse(int id, const std::string& message) = 0;
};

// The logic of the settings window: the fields read from and shown in the controls in their
// fixed order, the enable rules of the destination and the update mode, and the steps of OK.
class SettingsForm {
public:
    explicit SettingsForm(SettingsView& view) : view_(view) {}

    // Takes the window's values from the settings, applies both rules, shows the values.
    void open(const Settings& settings);
    // The destination radio buttons: true for the folder, false for the FTP server.
    void chooseDestination(bool folder);
    // A new update mode was selected: read the controls back, then apply the mode's rule.
    void modeChanged();
    // Validates, normalises and copies the values into the settings; false (and nothing
    // changed) when a value is refused.
    bool accept(Settings& settings);

    // Reads every control in field order; stops at the first refused value, keeping the
    // fields read before it.
    bool readControls();
    void showFields();

    bool restartNeeded() const { return restart_; }
    const SettingsFields& fields() const { return fields_; }

    // The update-mode rule for a mode 0..3; other modes as 3.
    void applyModeRule(std::int32_t mode);

private:
    SettingsView& view_;
    SettingsFields fields_;
    bool restart_ = false;
};

} // namespace kestrun
