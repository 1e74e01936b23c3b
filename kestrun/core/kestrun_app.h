#pragma once

namespace kestrun {

// The start of Kestrun: one instance per user session, the main window, the event loop.
class CKestrunApp {
public:
    static constexpr const char* kInstanceName = "KESTRUN_1.0";

    // Returns the process's exit status. A second instance ends at once, silently.
    int run(int argc, char** argv);
};

} // namespace kestrun
