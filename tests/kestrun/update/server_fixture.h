#pragma once

#include "kestrun/update/update_server.h"
#include "platform/clock.h"
#include "tests/peers/raw_client.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace kestrun::test {

// The values a server reports, set by the test, and the lines it logs.
class FakeServerHost final : public UpdateServerHost {
public:
    std::string ufile;
    std::uint32_t postSeconds = 25;
    std::uint32_t pullSeconds = 20;
    std::int32_t busyFlag = 1;
    std::vector<std::string> lines;

    std::string zelmoFile() override { return ufile; }
    std::uint32_t upost() override { return postSeconds; }
    std::uint32_t upull() override { return pullSeconds; }
    std::int32_t busy() override { return busyFlag; }
    void log(std::string_view message) override { lines.emplace_back(message); }
    // Moves only when the test advances it.
    TestClock serverClock{LocalDateTime::fromFields(2024, 3, 15, 10, 30, 0)};
    Clock& clock() override { return serverClock; }
};

// Short pauses, far enough apart that an immediate close and a paused one never mix up.
constexpr auto kPause = std::chrono::milliseconds(400);
inline ServerTiming quickTiming() {
    using std::chrono::milliseconds;
    return {kPause, milliseconds(1), milliseconds(3000), 16 * 1024};
}

// Bytes of that length in a pattern that never repeats within a piece.
inline std::string pattern(std::size_t length) {
    std::string s(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return s;
}

inline std::filesystem::path testPe(const std::string& name) {
    return std::filesystem::path(KESTRUN_TEST_PE_DIR) / name;
}

// A server on 127.0.0.1 with its drop folder in a temporary folder.
class ServerFixture : public ::testing::Test {
protected:
    void startServer(ServerTiming timing, const QHostAddress& address = QHostAddress::LocalHost) {
        std::filesystem::create_directories(drop());
        server_.reset();
        server_ = std::make_unique<CListenSocket>(host_, drop(), timing);
        ASSERT_TRUE(server_->start(0, address));
    }
    std::filesystem::path drop() const { return dir_ / "Drop"; }
    std::uint16_t port() const { return server_->serverPort(); }

    RawExchange exchange(const std::string& bytes, RawRequest request = {}) {
        request.bytes = bytes;
        const std::uint16_t p = port();
        return whileServing<RawExchange>([p, request] { return rawExchange(p, request); });
    }

    TempDir dir_;
    FakeServerHost host_;
    std::unique_ptr<CListenSocket> server_;
};

} // namespace kestrun::test
