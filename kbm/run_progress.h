#pragma once

#include <string>

namespace kestrun {

// What a run shows while it works: the window implements it, tests record it.
class RunProgress {
public:
    virtual ~RunProgress() = default;
    // Upper bar (1003): overall progress of the copy phase, 0..100.
    virtual void setOverall(int percent) = 0;
    // Lower bar (1001): the current FTP transfer, and the end mark of the scan phase.
    virtual void setTransfer(int percent) = 0;
    // Status line (1002).
    virtual void setStatus(const std::string& text) = 0;
    // Lets the window repaint and handle a waiting event (called after each FTP block).
    virtual void pump() {}
};

class NullProgress final : public RunProgress {
public:
    void setOverall(int) override {}
    void setTransfer(int) override {}
    void setStatus(const std::string&) override {}
};

} // namespace kestrun
