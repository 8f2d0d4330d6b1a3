// The socket's send and receive loops: peeked bytes kept in the stash until consumed,
// and how each way a read can end is reported.
#include "SocketStream.h"
#include "ErrorHandler.h"
#include "Peer.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>

using lyx::SocketStream;

using namespace peer;

namespace {

std::string RecvText(SocketStream& s, uint32_t n, int flags, uint32_t budgetMs = 5000) {
    std::string buf(n, '?');
    const int got = s.Recv(&buf[0], n, flags, budgetMs);
    return got < 0 ? "<error>" : buf.substr(0, size_t(got));
}

} // namespace

TEST(SocketStream, PeekedBytesComeFirstUntilConsumed) {
    auto pair = SocketPair();
    SocketStream s;
    s.Attach(pair.first);
    pair.second.Write("ABCDEFG");
    EXPECT_EQ(RecvText(s, 3, MSG_PEEK), "ABC");
    EXPECT_EQ(RecvText(s, 7, MSG_PEEK), "ABCDEFG"); // the stash is extended, not repeated
    EXPECT_EQ(s.StashSize(), 7u);
    EXPECT_EQ(RecvText(s, 3, 0), "ABC");
    EXPECT_EQ(s.StashSize(), 4u);
    pair.second.Write("HI");
    EXPECT_EQ(RecvText(s, 6, 0), "DEFGHI"); // the rest of the stash, then the socket
    pair.second.Write("J");
    EXPECT_EQ(RecvText(s, 1, 0), "J");
    EXPECT_EQ(s.StashSize(), 0u);
    EXPECT_EQ(0, s.LastReadFailure());
}

TEST(SocketStream, EachWayAReadEndsIsReported) {
    auto pair = SocketPair();
    SocketStream s;
    s.Attach(pair.first);
    std::thread later([&] {
        pair.second.Write("A");
        SleepMs(60);
        pair.second.Write("BCD");
    });
    EXPECT_EQ(RecvText(s, 4, 0), "ABCD"); // pieces within the budget
    later.join();

    pair.second.Write("AB");
    EXPECT_EQ(RecvText(s, 5, 0, 60), "AB"); // budget spent: a short count
    std::atomic<bool> keepGoing(false);
    char buf[4];
    EXPECT_EQ(0, s.Recv(buf, 4, 0, &keepGoing, 5000)); // told to stop: nothing, at once
    EXPECT_EQ(-ETIMEDOUT, s.LastReadFailure());

    pair.second.Write("XY");
    EXPECT_EQ(RecvText(s, 2, MSG_PEEK), "XY");
    pair.second.Close();
    EXPECT_EQ(0, s.Recv(buf, 4, MSG_PEEK)); // closed, even with bytes in the stash
    EXPECT_EQ(ORR_ERR_GRACEFUL_CLOSE, s.LastReadFailure());

    // Every call is non-blocking even on a blocking socket: a send that finds the buffers
    // full gives up after its budget with a short count instead of blocking.
    auto full = SocketPair();
    SocketStream blocked;
    blocked.Attach(full.first);
    std::string big(8 << 20, 'x');
    const int sent = blocked.Send(big.data(), uint32_t(big.size()), 0);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, int(big.size()));

    SocketStream unconnected;
    EXPECT_EQ(-1, unconnected.Recv(buf, 4, 0));
    EXPECT_EQ(-EBADF, unconnected.LastReadFailure());
    EXPECT_EQ(0, unconnected.Send("", 0, 0));
}

TEST(SocketStream, AttachDropsTheStashOfTheOldConnection) {
    auto first = SocketPair();
    auto second = SocketPair();
    SocketStream s;
    s.Attach(first.first);
    first.second.Write("old");
    EXPECT_EQ(RecvText(s, 3, MSG_PEEK), "old");
    EXPECT_EQ(0, s.Close());
    EXPECT_EQ(-1, s.GetFd());
    EXPECT_EQ(s.StashSize(), 3u); // Close keeps it
    s.Attach(second.first);
    EXPECT_EQ(s.StashSize(), 0u);
    second.second.Write("new");
    EXPECT_EQ(RecvText(s, 3, 0), "new");
}
