#pragma once

#include <functional>

namespace kestrun {

// Runs the work to its end and only then returns. Called on the application's main thread,
// the work runs on a thread of its own while the caller waits in a local event loop that
// excludes user input: windows repaint, timers fire and sockets are served meanwhile, while
// the user's commands wait as they would behind a busy handler. On any other thread (or
// without an application object) the work simply runs on the calling thread.
// An exception thrown by the work is thrown again on the calling thread.
void runWhileServingEvents(const std::function<void()>& work);

// Shows the wait cursor while it lives, when the application has a graphical interface.
class ScopedWaitCursor {
public:
    ScopedWaitCursor();
    ~ScopedWaitCursor();
    ScopedWaitCursor(const ScopedWaitCursor&) = delete;
    ScopedWaitCursor& operator=(const ScopedWaitCursor&) = delete;

private:
    bool shown_ = false;
};

} // namespace kestrun
