#pragma once

#include "kestrun/core/event_log.h"
#include "platform/instance_channel.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

namespace kestrun {

// A start that finds Kestrun already running hands over to the running instance, which shows
// its window as the tray's "Open Kestrun" does: on a desktop without a tray that is the only way
// back to a hidden window. The two meet at a socket file beside the instance lock.
class SecondStart {
public:
    static constexpr const char* kChannelFile = "KESTRUN_1.0.sock";
    static constexpr std::chrono::milliseconds kAnswerLimit{2000};
    // The running instance's log line for each window shown this way.
    static constexpr const char* kShownLine = "Window shown for a second start";

    // The channel's file beside the lock file; empty when there is no lock file.
    static std::filesystem::path channelFile(const std::filesystem::path& lockFile);

    // The later start's line when another user's program holds the channel (on Windows, where
    // pipes of all users share one namespace): nothing was sent to it.
    static constexpr const char* kNotOursLine =
        "Window not shown for a second start: another user's program holds Kestrun's channel";

    // The later start: asks the running instance to show its window and waits a moment for it.
    // True when it answered.
    static bool handOver(const std::filesystem::path& lockFile, const EventLog& log);

    // The running instance: shows its window for every later start while it lives. Null when
    // there is no lock file to put the channel beside.
    static std::unique_ptr<InstanceChannel> listen(const std::filesystem::path& lockFile,
                                                   std::function<void()> showWindow);
};

} // namespace kestrun
