#include "kestrun/update/countdown.h"

#include "kestrun/update/engine_wait.h"

#include <algorithm>
#include <chrono>

namespace kestrun {

std::string countdownText(std::string_view message, std::uint32_t secondsLeft) {
    std::string text(message);
    const auto at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(secondsLeft));
    return text;
}

void runCountdown(std::uint32_t seconds, std::string_view message, const WarningBalloon& balloon,
                  EngineWait& wait) {
    seconds = std::min(seconds, kCountdownLimitSeconds);
    for (std::uint32_t i = 0; i < seconds; ++i) {
        if (i % 10 == 0 && balloon)
            balloon(countdownText(message, seconds - i));
        wait.wait(std::chrono::milliseconds(1000));
    }
    if (balloon)
        balloon(std::string());
}

} // namespace kestrun
