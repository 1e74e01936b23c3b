// A Kestrun that crashes at its start, before its first check, as a broken release would.
#include <cstdlib>

int main() {
    std::abort();
}
