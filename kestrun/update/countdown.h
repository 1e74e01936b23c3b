#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrun {

class EngineWait;

// Shows a text as the tray icon's warning balloon; an empty text removes the balloon.
using WarningBalloon = std::function<void(const std::string& text)>;

// The warning before the update engine closes the client application.
inline constexpr std::string_view kZelmoCountdownMessage =
    "Zelmo program will be updated in %d seconds. Please, save all your changes in data!.";

// The message with its "%d" replaced by the number.
std::string countdownText(std::string_view message, std::uint32_t secondsLeft);

// The longest countdown: its length comes from the update server, and a peer's "-1" must not
// keep the client application closed for good.
inline constexpr std::uint32_t kCountdownLimitSeconds = 600;

// Counts the seconds down (at most kCountdownLimitSeconds): at every tenth second from the
// start the message with the seconds left is shown as a warning balloon, and each second is
// one wait. At the end an empty balloon removes the last one. A length of 0 shows only the
// empty balloon.
void runCountdown(std::uint32_t seconds, std::string_view message, const WarningBalloon& balloon,
                  EngineWait& wait);

} // namespace kestrun
