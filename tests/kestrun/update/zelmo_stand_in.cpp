// A stand-in for the client application: a real process that carries a file version and runs
// until it is ended.
#include <unistd.h>

int main() {
    for (;;)
        ::pause();
}
