#pragma once

// The update server as the main window runs it: it reads the served values straight from the
// window's settings record and busy flag and logs to its event log. Header-only, so that the
// update library needs nothing of the window's library that includes it.

#include "kestrun/core/event_log.h"
#include "kestrun/core/settings.h"
#include "kestrun/update/drop_folder.h"
#include "kestrun/update/update_server.h"

#include <atomic>
#include <filesystem>
#include <memory>

namespace kestrun {

class UpdateServerHandler final : public UpdateServerHost {
public:
    UpdateServerHandler(const Settings& settings, const std::atomic<std::int32_t>& busy,
                        const EventLog& eventLog, Clock& clock)
        : settings_(settings), busy_(busy), eventLog_(eventLog), clock_(clock) {}

    // Listens on Uport and logs whether that worked ("Update server started" or "Update
    // server not started"; there is no retry), then makes the folder "Drop" in the given
    // current directory. True when the server listens.
    bool start(const std::filesystem::path& currentDirectory, ServerTiming timing = {},
               const QHostAddress& address = QHostAddress::Any) {
        const std::int32_t port = settings_.uport;
        DropFolder drop(currentDirectory / DropFolder::kName);
        auto socket = std::make_unique<CListenSocket>(*this, drop.path(), timing);
        const bool listening =
            port >= 0 && port <= 65535 && socket->start(static_cast<std::uint16_t>(port), address);
        eventLog_.log(listening ? "Update server started" : "Update server not started");
        if (listening)
            listenSocket_ = std::move(socket);
        drop.create();
        return listening;
    }

    // The listening socket, or null when the server did not start.
    CListenSocket* listenSocket() const { return listenSocket_.get(); }

    std::string zelmoFile() override { return settings_.ufile; }
    std::uint32_t upost() override { return settings_.upost; }
    std::uint32_t upull() override { return settings_.upull; }
    std::int32_t busy() override { return busy_; }
    void log(std::string_view message) override { eventLog_.log(message); }
    Clock& clock() override { return clock_; }

private:
    const Settings& settings_;
    const std::atomic<std::int32_t>& busy_;
    const EventLog& eventLog_;
    Clock& clock_;
    std::unique_ptr<CListenSocket> listenSocket_;
};

} // namespace kestrun
