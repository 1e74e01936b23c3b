#pragma once

#include <cstdint>

namespace kestrun {

// The custom messages of the main window (WM_APP + 1001 ... + 1011 in the original numbering).
enum class KsnMessage : std::uint32_t {
    TrayNotify = 0x83E9,       // mouse events over the tray icon
    ProgramCheck = 0x83EA,     // heartbeat, every beat while not paused
    BackupLaunch = 0x83EB,     // heartbeat, when a backup is due
    LanUpdate = 0x83EC,        // heartbeat, every Upull seconds in update-client mode
    SelfUpdate = 0x83ED,       // heartbeat, every 241st beat
    KbmUpdate = 0x83EE,        // right after SelfUpdate
    UpdaterUpdate = 0x83EF,    // right after KbmUpdate
    ServerUpdate = 0x83F0,     // system-menu command 22 (posted)
    NewVersionNotice = 0x83F1, // heartbeat, every Promt hours (posted)
    LanguageUpdate = 0x83F3,   // right after LanUpdate
};

} // namespace kestrun
