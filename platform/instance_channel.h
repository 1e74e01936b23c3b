#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>

namespace kestrun {

// A local channel between two starts of one program by one user: the running instance listens
// on a socket file beside its instance lock (a folder of the user's own), and a later start
// asks it to show itself there.
//
// The listening side acts on nothing but the one line "show\n" from a peer of the same user,
// and answers it with "shown\n". A peer of another user, or one that sends anything else, more
// than a few bytes or nothing within a second, is closed without an answer. A request that has
// arrived is read as soon as its connection is taken, and only a few peers wait for theirs:
// when more come, the one waiting longest is closed, so peers that only connect (the same user
// flooding the channel) never keep a later start from being served.
class InstanceChannel {
public:
    static constexpr std::size_t kMaxRequestBytes = 16;
    static constexpr std::chrono::milliseconds kPeerLimit{1000};
    static constexpr int kMaxPeers = 4;
    static constexpr int kBacklog = 64; // connections the system holds until they are taken

    // Listens on the socket file, made 0600; a socket file an ended instance left is replaced,
    // anything else in its place is left alone (and nothing listens). onShow runs on the thread
    // that made the channel, from its event loop, for every request.
    InstanceChannel(std::filesystem::path socketFile, std::function<void()> onShow);
    ~InstanceChannel(); // stops listening and removes the socket file
    InstanceChannel(const InstanceChannel&) = delete;
    InstanceChannel& operator=(const InstanceChannel&) = delete;

    bool listening() const;

    enum class Answer {
        Shown,      // the running instance has shown itself
        NoAnswer,   // it took the request but did not answer in time
        NoListener, // nothing listens on the file
        NotOurs     // another user's program holds the channel: nothing was sent (Windows,
                    // whose pipes share one namespace; the socket file lies in a folder of ours)
    };
    // The later start's side: sends the request and waits at most `limit` for the answer. A
    // listener too busy to take the connection, or one that closes it unanswered, is asked
    // again until the limit.
    static Answer askToShow(const std::filesystem::path& socketFile,
                            std::chrono::milliseconds limit);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kestrun
