#pragma once

namespace kestrun {

// Whether the process runs as a service of systemd (which names each run of a service in the
// environment of its processes): the service manager then starts and restarts the program,
// and it must not start a copy of itself that the manager would not know.
bool runsAsService();

} // namespace kestrun
