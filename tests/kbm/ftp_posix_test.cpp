#include "tests/kbm/ftp_delivery_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

// The FTP delivery's cases that need POSIX: a FIFO among the sources.

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

TEST_F(FtpDeliveryTest, SourcesNotReadWholeCountAsNotSent) {
    FtpServerPeer server(remote, "kbm", "secret");
    ASSERT_NE(server.port(), 0) << server.log();
    // A source that cannot be opened (a FIFO) is not sent: the server keeps its copy, the log
    // names the file, and it stays due: its marker goes, so the next run tries it again.
    const fs::path fifo = box.src / "f/pipe.txt";
    fs::create_directories(fifo.parent_path());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    fs::create_directories(remoteCopy(fifo.string()).parent_path());
    writeFile(remoteCopy(fifo.string()), "the copy of before");
    box.run_.include = {{fifo.string(), 0, 1}};
    box.run_.settings.port = server.port();
    box.run();
    EXPECT_EQ(readFile(remoteCopy(fifo.string())), "the copy of before");
    EXPECT_THAT(noted(), ElementsAre("Sending to FTP failed: " + fifo.string() +
                                     " (not a regular file that can be read)"));
    EXPECT_FALSE(fs::exists(box.marker(fifo.string())));
}

} // namespace
} // namespace kestrun::test
