#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrun {
namespace {

using test::readFile;
using test::TempDir;

// Runs the helper with its standard error on the descriptor given and the extra environment.
int runHelper(const std::filesystem::path& log, const std::string& message, int standardError,
              const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("JOURNAL_STREAM=", 0) != 0)
            env.emplace_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = CONSOLE_LOG_HELPER;
    std::string file = log.string();
    std::string text = message;
    char* argv[] = {program.data(), file.data(), text.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, standardError, STDERR_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string journalStream(int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// The log file always gets the line; the console only on a terminal or the journal's stream.
TEST(ConsoleLog, LinesAlsoGoToATerminalOrTheJournalAndNowhereElse) {
    TempDir dir;
    const auto log = dir / "Kestrun.log";
    const std::string fileLine = "09.12.2026 07:30:05\tImage started: /opt/a\\nb\r\n";

    // A terminal: the line as in the file, with the terminal's line end.
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(runHelper(log, "Image started: /opt/a\nb", slave, {}), 0);
    ::close(slave);
    std::string shown;
    char buffer[256];
    pollfd ready{master, POLLIN, 0};
    while (::poll(&ready, 1, 2000) > 0) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(master);
    // The terminal turns the line feed into CR LF on its way out.
    EXPECT_EQ(shown, "09.12.2026 07:30:05\tImage started: /opt/a\\nb\r\n");
    EXPECT_EQ(readFile(log), fileLine);

    // The journal's stream: the message alone, one line; the journal stamps it itself.
    const auto journal = dir / "journal";
    {
        const int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(runHelper(log, "Program started", fd, {journalStream(fd)}), 0);
        ::close(fd);
    }
    EXPECT_EQ(readFile(journal), "Program started\n");

    // Standard error redirected away from the journal's stream, or a plain file: nothing.
    const auto other = dir / "other";
    {
        const int fd = ::open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int journalFd = ::open(journal.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(runHelper(log, "Program started", fd, {journalStream(journalFd)}), 0);
        ASSERT_EQ(runHelper(log, "Program started", fd, {"JOURNAL_STREAM=garbage"}), 0);
        ASSERT_EQ(runHelper(log, "Program started", fd, {}), 0);
        ::close(journalFd);
        ::close(fd);
    }
    EXPECT_EQ(readFile(other), "");
    EXPECT_EQ(readFile(log), fileLine + "09.12.2026 07:30:05\tProgram started\r\n"
                                        "09.12.2026 07:30:05\tProgram started\r\n"
                                        "09.12.2026 07:30:05\tProgram started\r\n"
                                        "09.12.2026 07:30:05\tProgram started\r\n");
}

} // namespace
} // namespace kestrun
