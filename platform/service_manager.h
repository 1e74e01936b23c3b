#pragma once

namespace kestrun {

// Whether the process runs as Kestrun's user service: the service manager then starts and
// restarts the program, and it must not start a copy of itself that the manager would not know.
// The unit marks its processes with KESTRUN_SERVICE=1, a variable of its own: systemd's
// INVOCATION_ID also reaches every program that a desktop's own services start (a terminal's
// shells among them). The first call takes the mark out of the environment, so the programs
// started from here do not inherit it; the answer stays. Call it at start.
bool runsAsService();

} // namespace kestrun
