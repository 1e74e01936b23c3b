// The main() of widget tests: one application object for the whole run (offscreen, set by
// CTest), created before and destroyed after every test.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    // Tests never need a real display, also when CTest lists them.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Without a runtime folder Qt would make one below /tmp and leave it there: the run gets a
    // private one of its own, removed at the end.
    std::string runtime;
    if (const char* set = std::getenv("XDG_RUNTIME_DIR"); !set || !*set) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kestrun-test-runtime-XXXXXX").string();
        if (mkdtemp(pattern.data())) {
            runtime = pattern;
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    if (!runtime.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(runtime, ec);
    }
    return result;
}
