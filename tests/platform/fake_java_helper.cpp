// Stands in for a Java runtime in tests: copied as "java", it appends its arguments (one line,
// joined by blanks) to the file named by KESTRUN_FAKE_JAVA_LOG when set, then idles so that
// the test sees a running "java" process carrying them. It ends by itself after five minutes.

#include <cstdlib>
#include <fstream>
#include <thread>

int main(int argc, char** argv) {
    if (const char* log = std::getenv("KESTRUN_FAKE_JAVA_LOG")) {
        std::ofstream out(log, std::ios::app);
        for (int i = 1; i < argc; ++i)
            out << (i > 1 ? " " : "") << argv[i];
        out << '\n';
    }
    std::this_thread::sleep_for(std::chrono::minutes(5));
    return 0;
}
