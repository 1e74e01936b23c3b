#pragma once

namespace kestrun {

// The backup program: one run per start. Lowers its priority at once (nice 19, idle I/O),
// chooses the offscreen platform when there is no display, takes the run lock beside the queue
// file (a second program meanwhile logs "Backup already running." and
// ends), shows the progress window and ends with exit code 1 after the run, or with 0 when
// the window was cancelled before it.
class CKbmApp {
public:
    int run(int argc, char** argv);

    static constexpr int kExitAfterRun = 1;
};

} // namespace kestrun
