#pragma once

#include "kbm/run_progress.h"
#include "platform/clock.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kestrun {

// Stands between a run and its window so that the window is not repainted for every FTP
// block: a person sees no more than a few dozen updates a second. What the run sets is kept;
// it reaches the window when it differs from what is shown and the last update is at least
// the interval old, and the window is pumped only after such an update. flush() shows what
// is still waiting, whatever the time.
class ThrottledProgress final : public RunProgress {
public:
    static constexpr std::uint64_t kIntervalMs = 50;

    ThrottledProgress(RunProgress& window, Clock& clock);

    void setOverall(int percent) override;
    void setTransfer(int percent) override;
    void setStatus(const std::string& text) override;
    void pump() override;

    void flush();

private:
    template <typename T> struct Shown {
        std::optional<T> shown;
        std::optional<T> wanted;
        bool dirty() const { return wanted && wanted != shown; }
    };

    bool dirty() const { return overall_.dirty() || transfer_.dirty() || status_.dirty(); }
    bool due();
    void show();

    RunProgress& window_;
    Clock& clock_;
    Shown<int> overall_;
    Shown<int> transfer_;
    Shown<std::string> status_;
    std::optional<std::uint64_t> lastShownMs_;
    bool pumpOwed_ = false;
};

} // namespace kestrun
