// Requests and the socket loops: answers, time-out texts, cancellation when
// the connection ends, re-entry, time-out 0, requests without a connection, and the
// Send/Recv loops of SocketStream with their peek stash.
#include "EngineTestUtil.h"

using namespace enginetest;

namespace {

const uint8_t kReq = 0x18;
const uint8_t kAns = 0x19;

} // namespace

TEST(Request, AnswerIsReadAndTheWaiterWokenAtOnce) {
    TestEngine e;
    e.UseReader(kAns, TestEngine::kRead4);
    Peer peer = Adopt(e);
    int64_t answeredAt = 0;
    PeerThread t([&] {
        peer.Read(40);
        SleepMs(20);
        answeredAt = NowMs();
        peer.Write(Frame(kAns, "done"));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "Wake", Payload32('a'), true, 2));
    const int64_t returnedAt = NowMs();
    t.Join();
    EXPECT_EQ("done", e.Payloads().at(0));
    // The answer is not held up by a polling slice of the receive thread or the waiter.
    EXPECT_LT(returnedAt - answeredAt, 25);
}

TEST(Request, TimeoutRecordsNameAndSeconds) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    Peer peer = Adopt(e);
    const int64_t start = NowMs();
    EXPECT_EQ(ORR_ERR_NO_RESPONSE, e.RequestCommand(kReq, kAns, "QuitConfCtrl", "", true, 1));
    const int64_t took = NowMs() - start;
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 1200);
    EXPECT_EQ(0u,
              e.ErrorText().find("QuitConfCtrl command failed to receive response packet within 1 "
                                 "seconds. [Protocol"));
    EXPECT_EQ(0, e.m_AnsCode.load());
    EXPECT_EQ(1, log.Count("ERROR | ErrorCode=-6528101 -> QuitConfCtrl command failed"));
}

TEST(Request, ConnectionLostWhileWaitingReturnsTheRecordedError) {
    TestEngine e;
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        peer.Close();
    });
    const int64_t start = NowMs();
    EXPECT_EQ(ORR_ERR_GRACEFUL_CLOSE,
              e.RequestCommand(kReq, kAns, "Lost", Payload32('l'), true, 5));
    EXPECT_LT(NowMs() - start, 500);
    t.Join();
    EXPECT_EQ(0u, e.ErrorText().find("The connection has been gracefully closed."));
}

TEST(Request, CloseConnectDuringTheWaitCancelsWithoutARecordedError) {
    TestEngine e;
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        SleepMs(100);
        e.CloseConnect();
    });
    const int64_t start = NowMs();
    EXPECT_EQ(ORR_ERR_NO_RESPONSE, e.RequestCommand(kReq, kAns, "Closed", Payload32('c'), true, 5));
    EXPECT_LT(NowMs() - start, 500);
    t.Join();
    EXPECT_EQ(0u, e.ErrorText().find(
                      "Cancel command failed to receive response packet within ? seconds."));
    EXPECT_EQ(0, e.m_AnsCode.load()); // a cancelled request leaves no expected answer
    EXPECT_EQ(0, e.closeCalls.load());
}

TEST(Request, ReentryWhilePendingIsRefusedAndNothingIsSent) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    Peer peer = Adopt(e);
    e.m_bPending = true;
    EXPECT_EQ(ORR_ERR_REENTRY, e.RequestCommand(kReq, kAns, "Again", "x", true, 1));
    e.m_bPending = false;
    EXPECT_EQ(0u,
              e.ErrorText().find("Function reentry is not allowed: ProtocolBase::RequestCommand"));
    EXPECT_EQ("", peer.Read(1, 100));
    EXPECT_EQ(0, e.m_AnsCode.load());
    EXPECT_EQ(1, log.Count("==> RequestCommand Req:0x18 Ans:0x19 Again size:1 peek:1 timeout:1 "
                           "pend:1 sock:"));
}

TEST(Request, TimeoutZeroSendsWithoutWaiting) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseReader(kAns, TestEngine::kRead4);
    Peer peer = Adopt(e);
    e.SetError(-3, "", "", __FILE__, __LINE__);
    const int64_t start = NowMs();
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "NoWait", Payload32('z'), true, 0));
    EXPECT_LT(NowMs() - start, 50);
    EXPECT_EQ(0, e.GetErrorCode());
    EXPECT_EQ(0, e.m_AnsCode.load());
    EXPECT_EQ(1, log.Count("NOTICE| NoWait command will not wait for response due to timeout is "
                           "set to 0 second. [Protocol"));
    EXPECT_EQ(Frame(kReq, Payload32('z')), peer.Read(40));
    peer.Write(Frame(kAns) + Frame(0x33));
    ASSERT_TRUE(log.WaitFor("got exceptional event 0x33"));
    EXPECT_EQ(1, log.Count("got exceptional event 0x19"));
    EXPECT_TRUE(e.Payloads().empty());
}

// Spends the 5-second send budget, as the behaviour under test requires.
TEST(Request, WithoutAConnectionTheLastRecordedErrorIsReturned) {
    TestEngine e;
    EXPECT_EQ(ORR_ERR_NO_CONNECTION, e.OpenConnect("127.0.0.1", {RefusedPort()}, 0, 0));
    const int64_t start = NowMs();
    EXPECT_EQ(ORR_ERR_NO_CONNECTION, e.RequestCommand(kReq, kAns, "Nowhere", "", true, 10));
    const int64_t took = NowMs() - start;
    EXPECT_GE(took, 5000);
    EXPECT_LT(took, 5500);
}

TEST(Request, TwoRequestsInARowEachGetTheirAnswer) {
    TestEngine e;
    e.UseReader(kAns, TestEngine::kRead4);
    e.UseReader(0x1B, TestEngine::kRead2);
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        peer.Write(Frame(kAns, "1111"));
        peer.Read(9);
        peer.Write(Frame(0x1B, "22"));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "One", Payload32('1'), true, 1));
    EXPECT_EQ(0, e.RequestCommand(0x1A, 0x1B, "Two", "x", true, 1));
    t.Join();
    ASSERT_EQ(2u, e.Payloads().size());
    EXPECT_EQ("1111", e.Payloads()[0]);
    EXPECT_EQ("22", e.Payloads()[1]);
}

// ---- SocketStream loops ----

TEST(SocketStreamLoops, PeekKeepsBytesInTheStash) {
    SocketPair sp = MakePair();
    SocketStream s;
    s.Attach(sp.engineEnd);
    sp.peer.Write("ABCDEFGHIJ");
    char buf[16] = {};
    ASSERT_EQ(7, s.Recv(buf, 7, MSG_PEEK));
    EXPECT_EQ("ABCDEFG", std::string(buf, 7));
    EXPECT_EQ(7u, s.StashSize());
    ASSERT_EQ(7, s.Recv(buf, 7, MSG_PEEK)); // the same bytes again
    EXPECT_EQ("ABCDEFG", std::string(buf, 7));
    ASSERT_EQ(3, s.Recv(buf, 3, 0));
    EXPECT_EQ("ABC", std::string(buf, 3));
    EXPECT_EQ(4u, s.StashSize());
    ASSERT_EQ(6, s.Recv(buf, 6, MSG_PEEK)); // stash first, extended from the socket
    EXPECT_EQ("DEFGHI", std::string(buf, 6));
    EXPECT_EQ(6u, s.StashSize());
    ASSERT_EQ(7, s.Recv(buf, 7, 0));
    EXPECT_EQ("DEFGHIJ", std::string(buf, 7));
    EXPECT_EQ(0u, s.StashSize());
}

TEST(SocketStreamLoops, PeekOnAClosedPeerReturnsZeroEvenWithStashedBytes) {
    SocketPair sp = MakePair();
    SocketStream s;
    s.Attach(sp.engineEnd);
    sp.peer.Write("AB");
    char buf[8];
    ASSERT_EQ(2, s.Recv(buf, 2, MSG_PEEK));
    sp.peer.Close();
    EXPECT_EQ(0, s.Recv(buf, 5, MSG_PEEK));
    EXPECT_EQ(ORR_ERR_GRACEFUL_CLOSE, s.LastReadFailure());
}

TEST(SocketStreamLoops, ShortCountWhenTheBudgetRunsOut) {
    SocketPair sp = MakePair(true);
    SocketStream s;
    s.Attach(sp.engineEnd);
    sp.peer.Write("AB");
    char buf[8];
    const int64_t start = NowMs();
    EXPECT_EQ(2, s.Recv(buf, 5, 0, 60));
    const int64_t took = NowMs() - start;
    EXPECT_GE(took, 60);
    EXPECT_LT(took, 200);
}

TEST(SocketStreamLoops, KeepGoingFlagEndsTheLoop) {
    SocketPair sp = MakePair(true);
    SocketStream s;
    s.Attach(sp.engineEnd);
    std::atomic<bool> keepGoing(false);
    char buf[8];
    const int64_t start = NowMs();
    EXPECT_EQ(0, s.Recv(buf, 5, 0, &keepGoing, 5000));
    EXPECT_LT(NowMs() - start, 100);
}

TEST(SocketStreamLoops, SocketErrorIsMinusOne) {
    SocketStream s;
    char buf[4];
    EXPECT_EQ(-1, s.Recv(buf, 4, 0));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, s.Close());
}

TEST(SocketStreamLoops, SendOfZeroBytesPausesOnceAndReturnsZero) {
    SocketPair sp = MakePair();
    SocketStream s;
    s.Attach(sp.engineEnd);
    const int64_t start = NowMs();
    EXPECT_EQ(0, s.Send("", 0, 0));
    const int64_t took = NowMs() - start;
    EXPECT_GE(took, 4);
    EXPECT_LT(took, 100);
    EXPECT_EQ(5, s.Send("hello", 5, 0));
    EXPECT_EQ("hello", sp.peer.Read(5));
}

TEST(SocketStreamLoops, AttachEmptiesTheStashAndCloseKeepsIt) {
    SocketPair a = MakePair();
    SocketStream s;
    s.Attach(a.engineEnd);
    a.peer.Write("XYZ");
    char buf[4];
    ASSERT_EQ(3, s.Recv(buf, 3, MSG_PEEK));
    EXPECT_EQ(0, s.Close());
    EXPECT_EQ(-1, s.GetFd());
    EXPECT_EQ(3u, s.StashSize());
    SocketPair b = MakePair();
    s.Attach(b.engineEnd);
    EXPECT_EQ(0u, s.StashSize());
    EXPECT_EQ(b.engineEnd, s.GetFd());
}
