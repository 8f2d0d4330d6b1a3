// Wire format and frame search: prefixes, answers, exceptional
// events, resynchronisation one byte at a time, custom and empty prefixes, late answers.
#include "EngineTestUtil.h"

using namespace enginetest;

namespace {

const uint8_t kReq = 0x1A;
const uint8_t kAns = 0x1B;

} // namespace

TEST(Framing, SetCmdPrefixWritesPrefixIntoSendBuffer) {
    TestEngine e(false);
    EXPECT_EQ(std::string(1, '\0'), e.m_SendBuffer);
    e.SetCmdPrefix("RecvIPC", 7);
    EXPECT_EQ("RecvIPC", e.m_CmdPrefix);
    EXPECT_EQ(std::string("RecvIPC\0", 8), e.m_SendBuffer);
}

TEST(Framing, RequestFrameGoesOutWholeAndAnswerIsRead) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseReader(kAns, TestEngine::kRead32);
    Peer peer = Adopt(e);
    const std::string payload = Payload32('a');
    const std::string answer = Payload32('A');
    std::string seen;
    PeerThread t([&] {
        seen = peer.Read(40);
        peer.Write(Frame(kAns, answer));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "Test", payload, true, 1));
    t.Join();
    EXPECT_EQ(Frame(kReq, payload), seen);
    EXPECT_EQ(40u, seen.size());
    ASSERT_EQ(1u, e.Payloads().size());
    EXPECT_EQ(answer, e.Payloads()[0]);
    EXPECT_EQ(0, e.m_AnsCode.load());
    EXPECT_EQ(0, e.GetErrorCode());
    // The send buffer is reused: it still starts with the prefix and holds the last frame.
    EXPECT_EQ(Frame(kReq, payload), e.m_SendBuffer);
    const std::string sock = "sock:" + std::to_string(e.GetSocket());
    EXPECT_EQ(1, log.Count("INFO  | ==> RequestCommand Req:0x1A Ans:0x1B Test size:32 peek:1 "
                           "timeout:1 pend:0 " +
                           sock + " [Protocol"));
    EXPECT_EQ(1, log.Count("INFO  | <== NetworkThread got response 0x1B " + sock));
}

TEST(Framing, StrayBytesAreSkippedOneByOneWithANoticeEach) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseReader(kAns, TestEngine::kRead32);
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        peer.Write("\x78\x79" + Frame(kAns, Payload32('B')));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "Stray", Payload32('b'), true, 1));
    t.Join();
    EXPECT_EQ(Payload32('B'), e.Payloads().at(0));
    const std::string sock = " sock:" + std::to_string(e.GetSocket());
    auto lines = log.Lines("NetworkThread unknown prefix data");
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[0].find("NOTICE| NetworkThread unknown prefix data 0x78" + sock));
    EXPECT_NE(std::string::npos,
              lines[1].find("NOTICE| NetworkThread unknown prefix data 0x79" + sock));
    EXPECT_LT(log.LineIndex("prefix data 0x79"), log.LineIndex("got response 0x1B"));
}

TEST(Framing, PrefixArrivingInPiecesIsStillRecognised) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseReader(kAns, TestEngine::kRead32);
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        const std::string f = Frame(kAns, Payload32('C'));
        peer.Write(f.substr(0, 3));
        SleepMs(60);
        peer.Write(f.substr(3, 5));
        SleepMs(60);
        peer.Write(f.substr(8));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "Pieces", Payload32('c'), true, 2));
    t.Join();
    EXPECT_EQ(Payload32('C'), e.Payloads().at(0));
    EXPECT_EQ(0, log.Count("unknown prefix data"));
    EXPECT_EQ(0, log.Count("no enough data"));
}

// The one framing case that needs the 5000 ms read budget: only 4 of 7 prefix bytes come
// within it. The socket is non-blocking (InitSocket leaves the mode as the caller made it),
// so Recv polls in 5 ms steps until the budget ends.
TEST(Framing, PrefixShortOfTheReadBudgetIsLoggedAndResumedWithoutLoss) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseReader(kAns, TestEngine::kRead32);
    SocketPair sp = MakePair(true);
    ASSERT_EQ(0, e.InitSocket(sp.engineEnd, 0));
    Peer& peer = sp.peer;
    PeerThread t([&] {
        peer.Read(40);
        const std::string f = Frame(kAns, Payload32('D'));
        peer.Write(f.substr(0, 4));
        log.WaitFor("no enough data to match prefix", 1, 8000);
        peer.Write(f.substr(4));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "Short", Payload32('d'), true, 10));
    t.Join();
    EXPECT_EQ(Payload32('D'), e.Payloads().at(0));
    auto lines = log.Lines("no enough data to match prefix");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[0].find("DEBUG | NetworkThread no enough data to match prefix 4 sock:" +
                            std::to_string(e.GetSocket())));
    EXPECT_EQ(0, log.Count("unknown prefix data"));
}

TEST(Framing, CustomPrefixFrameGoesToTheHook) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.SetCustCmdPrefix("CustIPC");
    EXPECT_EQ("CustIPC", e.m_CustCmdPrefix);
    e.custOverride = true;
    e.custReadLen = 2;
    e.UseReader(kAns, TestEngine::kRead32);
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        peer.Write("CustIPC" + std::string("xy") + Frame(kAns, Payload32('E')));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "Cust", Payload32('e'), true, 1));
    t.Join();
    EXPECT_EQ(1, e.custCalls.load());
    ASSERT_EQ(2u, e.Payloads().size());
    EXPECT_EQ("xy", e.Payloads()[0]);
    EXPECT_EQ(Payload32('E'), e.Payloads()[1]);
    EXPECT_EQ(2, e.frameBegins.load());
    EXPECT_EQ(0, log.Count("unknown prefix data"));
}

TEST(Framing, DefaultCustomHookExpectsTheNextFrameRightAfterThePrefix) {
    TestEngine e;
    e.SetCustCmdPrefix("CustIPC");
    e.UseReader(kAns, TestEngine::kRead32);
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        peer.Write("CustIPC" + Frame(kAns, Payload32('F')));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "Cust", Payload32('f'), true, 1));
    t.Join();
    EXPECT_EQ(Payload32('F'), e.Payloads().at(0));
}

TEST(Framing, CustomPrefixIsCutToTheCommandPrefixLength) {
    TestEngine e(false);
    e.SetCustCmdPrefix("CustIPC"); // before SetCmdPrefix: empty
    EXPECT_EQ("", e.m_CustCmdPrefix);
    e.SetCmdPrefix("ABC", 3);
    e.SetCustCmdPrefix("XYZW");
    EXPECT_EQ("XYZ", e.m_CustCmdPrefix);
}

TEST(Framing, EmptyPrefixFramesStartWithTheirCode) {
    TempLog log;
    TestEngine e(false);
    e.OpenLog(log);
    e.SetCustCmdPrefix("whatever"); // never examined with an empty command prefix
    e.UseReader(kAns, TestEngine::kRead4);
    Peer peer = Adopt(e);
    std::string seen;
    PeerThread t([&] {
        seen = peer.Read(3);
        peer.Write("\x30" + std::string(1, static_cast<char>(kAns)) + "wxyz");
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "NoPrefix", "pq", true, 1));
    t.Join();
    EXPECT_EQ(std::string("\x1A") + "pq", seen);
    EXPECT_EQ("wxyz", e.Payloads().at(0));
    EXPECT_TRUE(log.WaitFor("got exceptional event 0x30"));
    EXPECT_EQ(2, e.frameBegins.load());
}

TEST(Framing, LateAnswerIsAnExceptionalEventAndItsPayloadIsResynchronised) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseReader(kAns, TestEngine::kRead2);
    Peer peer = Adopt(e);
    EXPECT_EQ(ORR_ERR_NO_RESPONSE, e.RequestCommand(kReq, kAns, "Late", Payload32('g'), true, 1));
    EXPECT_EQ(
        0, e.ErrorText().find("Late command failed to receive response packet within 1 seconds."));
    EXPECT_EQ(0, e.m_AnsCode.load());
    EXPECT_EQ(Frame(kReq, Payload32('g')), peer.Read(40));
    peer.Write(Frame(kAns, "\x78\x79") + Frame(0x30));
    ASSERT_TRUE(log.WaitFor("got exceptional event 0x30"));
    EXPECT_TRUE(e.Payloads().empty()); // the answer's reader never ran
    const int late = log.LineIndex("got exceptional event 0x1B");
    const int b1 = log.LineIndex("unknown prefix data 0x78");
    const int b2 = log.LineIndex("unknown prefix data 0x79");
    const int next = log.LineIndex("got exceptional event 0x30");
    EXPECT_GE(late, 0);
    EXPECT_LT(late, b1);
    EXPECT_LT(b1, b2);
    EXPECT_LT(b2, next);
    EXPECT_EQ(1, log.Count("NOTICE| <== NetworkThread got exceptional event 0x1B sock:"));
}

TEST(Framing, UnsolicitedFrameWithoutHandlerIsLoggedAndItsPayloadSkipped) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    Peer peer = Adopt(e);
    peer.Write(Frame(0x40, "\x01\x02\x03") + Frame(0x41));
    ASSERT_TRUE(log.WaitFor("got exceptional event 0x41"));
    EXPECT_EQ(1, log.Count("got exceptional event 0x40"));
    EXPECT_EQ(1, log.Count("unknown prefix data 0x01"));
    EXPECT_EQ(1, log.Count("unknown prefix data 0x02"));
    EXPECT_EQ(1, log.Count("unknown prefix data 0x03"));
    EXPECT_EQ(0, e.QueueSize());
    EXPECT_EQ(0, e.GetErrorCode());
}

TEST(Framing, CodeZeroIsAnAnswerWhileNoneIsExpected) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseReader(0x00, TestEngine::kRead2);
    Peer peer = Adopt(e);
    peer.Write(Frame(0x00, "hi") + Frame(0x31));
    ASSERT_TRUE(log.WaitFor("got exceptional event 0x31"));
    EXPECT_EQ(1, log.Count("<== NetworkThread got response 0x00 sock:"));
    EXPECT_EQ("hi", e.Payloads().at(0));
}

TEST(Framing, CodeWithDefaultReaderHasNoPayload) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(40);
        peer.Write(Frame(kAns) + "\x55" + Frame(0x31));
    });
    EXPECT_EQ(0, e.RequestCommand(kReq, kAns, "NoPayload", Payload32('h'), true, 1));
    t.Join();
    ASSERT_TRUE(log.WaitFor("got exceptional event 0x31"));
    EXPECT_EQ(1, log.Count("unknown prefix data 0x55"));
}

TEST(Framing, AckCommandAndSendCommandDataBuildTheirFrames) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    Peer peer = Adopt(e);
    e.SetError(-5, "", "", __FILE__, __LINE__);
    const std::string sock = " sock:" + std::to_string(e.GetSocket());
    EXPECT_EQ(10, e.AckCommand(0x22, "Ack", "ab"));
    EXPECT_EQ(Frame(0x22, "ab"), peer.Read(10));
    EXPECT_EQ(12, e.SendCommandData("hello", 5, 0, true));
    EXPECT_EQ("RecvIPChello", peer.Read(12));
    EXPECT_EQ(9, e.SendCommandData("ok", 2, 0, false));
    EXPECT_EQ("RecvIPCok", peer.Read(9));
    EXPECT_EQ(-5, e.GetErrorCode()); // they record nothing
    EXPECT_EQ(0, e.m_AnsCode.load());
    EXPECT_EQ(1, log.Count("INFO  | ==> AckCommand Ack:0x22 Ack size:2" + sock));
    EXPECT_EQ(1, log.Count("INFO  | ==> SendCommandData len:5" + sock));
    EXPECT_EQ(0, log.Count("SendCommandData len:2"));
}

TEST(Framing, PrefixChangeIsLogged) {
    TempLog log;
    TestEngine e(false);
    e.OpenLog(log);
    e.SetCmdPrefix("RecvIPC", 7);
    e.SetCustCmdPrefix("CustIPC");
    e.SetSndRcvTimeout(3);
    EXPECT_EQ(3, e.m_nSndRcvTimeout);
    EXPECT_EQ(1, log.Count("DEBUG | SetCmdPrefix 7 [Protocol"));
    EXPECT_EQ(1, log.Count("DEBUG | SetCustCmdPrefix [Protocol"));
    EXPECT_EQ(1, log.Count("DEBUG | SetSndRcvTimeout 3 [Protocol"));
}
