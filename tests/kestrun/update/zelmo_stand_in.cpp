// A stand-in for the client application: a real process that carries a file version and runs
// until it is ended.
#include <chrono>
#include <thread>

int main() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}
