#pragma once

#include "kestrun/update/update_routine.h"

#include <filesystem>
#include <functional>
#include <string>

class QWidget;

namespace kestrun {

struct Settings;

// The update routine's questions, messages and balloons as real windows of the owner. Calls
// from other threads are queued to the owner's thread and never wait for the answer.
class RoutineWindows final : public RoutineUser {
public:
    using Balloon = std::function<void(const std::string& text)>;

    RoutineWindows(QWidget& owner, const Settings& settings, std::filesystem::path workingFolder,
                   Balloon balloon);

    bool acceptHistory() override;
    bool askYesNo(const std::string& text, Symbol symbol, bool noIsDefault) override;
    void tell(const std::string& text, Symbol symbol) override;
    void balloon(const std::string& text) override;

private:
    QWidget& owner_;
    const Settings& settings_;
    std::filesystem::path workingFolder_;
    Balloon balloon_;
};

} // namespace kestrun
