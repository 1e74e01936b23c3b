// The instance channel's named pipe, against the real calls (under Wine here).

#include "platform/instance_channel.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QString>

#include <windows.h>

#include <sddl.h>

#include <future>

using kestrun::InstanceChannel;
using kestrun::test::processEventsUntil;
using kestrun::test::TempDir;
using Answer = InstanceChannel::Answer;

namespace {

// A later start's question, answered while this thread serves the channel's events.
Answer ask(const std::filesystem::path& file, std::chrono::milliseconds limit) {
    auto asked =
        std::async(std::launch::async, [&] { return InstanceChannel::askToShow(file, limit); });
    EXPECT_TRUE(processEventsUntil(
        [&] { return asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return asked.get();
}

// A pipe of the channel's name that the rules given (SDDL) let in.
HANDLE pipeAt(const std::filesystem::path& file, const wchar_t* rules) {
    const QByteArray hash = QCryptographicHash::hash(
        QString::fromStdWString(file.wstring()).toLower().toUtf8(), QCryptographicHash::Sha256);
    const std::wstring name =
        L"\\\\.\\pipe\\kestrun-" + QString::fromLatin1(hash.toHex().left(32)).toStdWString();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                           PIPE_UNLIMITED_INSTANCES, 0, 0, 0, &attributes);
    ::LocalFree(descriptor);
    return pipe;
}

} // namespace

// A later start of the same user is answered, as often as it asks. A pipe of the name whose
// server cannot be shown to run as this user is sent nothing: here one whose rules let the
// system alone in (Windows refuses to open it; Wine, which keeps no such rules, names no server
// process for a pipe whose server has not begun to listen). Windows also refuses the channel
// a first instance of that pipe, which Wine does not.
TEST(InstanceChannel, TheSameUserIsAnsweredAPipeNotOursIsSentNothing) {
    TempDir dir;
    int shown = 0;
    {
        InstanceChannel channel(dir / "ch.sock", [&] { ++shown; });
        ASSERT_TRUE(channel.listening());
        EXPECT_EQ(ask(dir / "ch.sock", std::chrono::seconds(2)), Answer::Shown);
        EXPECT_EQ(ask(dir / "ch.sock", std::chrono::seconds(2)), Answer::Shown);
        EXPECT_EQ(shown, 2);
    }
    EXPECT_EQ(ask(dir / "ch.sock", std::chrono::milliseconds(500)), Answer::NoListener);

    const HANDLE system = pipeAt(dir / "ch.sock", L"D:P(A;;GA;;;SY)");
    ASSERT_NE(system, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ask(dir / "ch.sock", std::chrono::milliseconds(500)), Answer::NotOurs);
    ::CloseHandle(system);
}
