// Reports what the process table shows to the user it runs as, for tests that run it as
// another user. "list": one line per process, its pid and its names separated by tabs.
// "close NAME": closes the first process known by that name and prints "closed" or
// "not closed".

#include "platform/clock.h"
#include "platform/process_table.h"

#include <cstdio>
#include <string_view>

int main(int argc, char** argv) {
    kestrun::SystemClock clock;
    kestrun::ProcProcessTable table(clock);
    if (argc == 3 && std::string_view(argv[1]) == "close") {
        std::puts(table.closeFirst(argv[2]) ? "closed" : "not closed");
        return 0;
    }
    if (argc != 2 || std::string_view(argv[1]) != "list")
        return 2;
    const auto all = table.processes();
    if (!all)
        return 1;
    for (const auto& p : *all) {
        std::printf("%ld", p.pid);
        for (const auto& name : p.names)
            std::printf("\t%s", name.c_str());
        std::printf("\n");
    }
    return 0;
}
