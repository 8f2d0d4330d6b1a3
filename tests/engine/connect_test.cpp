// Connection set-up and tear-down: several ports at once, refused sockets,
// time-out 0, empty port lists, handshake rejection, aborting a connect wait, re-entry,
// ReConnect, socket options.
#include "EngineTestUtil.h"

#include <netinet/tcp.h>

using namespace enginetest;

namespace {

const char* kIp = "127.0.0.1";

// A listening port whose accept queue is full: new SYNs are dropped, so a connect to it
// stays in progress (never writable) for as long as the test needs.
class BlackholePort {
public:
    BlackholePort() : m_listener(0) {
        m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(m_listener.Port());
        EXPECT_EQ(0, ::connect(m_filler, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    }
    ~BlackholePort() { ::close(m_filler); }
    uint16_t Port() const { return m_listener.Port(); }

private:
    Listener m_listener;
    int m_filler = -1;
};

int GetIntOpt(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof(v);
    ::getsockopt(fd, level, name, &v, &len);
    return v;
}

long GetTimeoutSec(int fd, int name) {
    timeval tv{};
    socklen_t len = sizeof(tv);
    ::getsockopt(fd, SOL_SOCKET, name, &tv, &len);
    return tv.tv_sec;
}

} // namespace

TEST(Connect, FirstOfSeveralPortsWinsAndTheOthersAreClosed) {
    TempLog log;
    Listener a, b;
    const int fdsBefore = CountFds();
    {
        TestEngine e;
        e.OpenLog(log);
        ASSERT_EQ(0, e.OpenConnect(kIp, {a.Port(), b.Port()}, 0, 1));
        EXPECT_TRUE(e.IsConnected());
        EXPECT_EQ(0, e.GetErrorCode());
        Peer pa = a.Accept();
        Peer pb = b.Accept();
        ASSERT_GE(pa.Fd(), 0);
        ASSERT_GE(pb.Fd(), 0);
        EXPECT_TRUE(pb.WaitEof(2000)); // the losing candidate was closed
        EXPECT_EQ(1, log.Count("DEBUG | OpenConnect 127.0.0.1 2 0 1 [Protocol"));
        EXPECT_EQ(1, log.Count("INFO  | OpenConnect use port# " + std::to_string(a.Port()) +
                               " sock:" + std::to_string(e.GetSocket())));
        // The connection is the engine's: a request over it works.
        e.UseReader(0x1B, TestEngine::kRead2);
        PeerThread t([&] {
            pa.Read(8);
            pa.Write(Frame(0x1B, "ok"));
        });
        EXPECT_EQ(0, e.RequestCommand(0x1A, 0x1B, "Port", "", false, 1));
        t.Join();
        e.CloseConnect();
        EXPECT_FALSE(e.IsConnected());
        EXPECT_TRUE(pa.WaitEof(2000));
    }
    EXPECT_EQ(fdsBefore, CountFds());
}

TEST(Connect, RefusedSocketIsAdoptedAndFailsOnItsFirstRead) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    ASSERT_EQ(0, e.OpenConnect(kIp, {RefusedPort()}, 0, 1));
    ASSERT_TRUE(WaitUntil([&] { return !e.IsConnected(); }));
    EXPECT_EQ(-ECONNREFUSED, e.GetErrorCode());
    EXPECT_TRUE(WaitUntil([&] { return e.closeCalls.load() == 1; }));
    EXPECT_TRUE(log.WaitFor("NetworkThread end sock:"));
}

TEST(Connect, TimeoutZeroNeverWaitsAndListsThePortsWithTrailingBlanks) {
    Listener a;
    const uint16_t refused = RefusedPort();
    const int fdsBefore = CountFds();
    TestEngine e;
    EXPECT_EQ(ORR_ERR_NO_CONNECTION, e.OpenConnect(kIp, {a.Port(), refused}, 0, 0));
    EXPECT_FALSE(e.IsConnected());
    const std::string text = e.ErrorText();
    const std::string expect =
        "No TCP connection could be built to IP:127.0.0.1 Port:" + std::to_string(a.Port()) + " " +
        std::to_string(refused) + "  [Protocol";
    EXPECT_EQ(0u, text.find(expect)) << text;
    EXPECT_EQ(fdsBefore, CountFds());
}

TEST(Connect, EmptyPortListFailsWithoutCreatingASocket) {
    TestEngine e;
    const int fdsBefore = CountFds();
    EXPECT_EQ(ORR_ERR_EMPTY_PORTS, e.OpenConnect(kIp, {}, 0, 1));
    EXPECT_EQ(fdsBefore, CountFds());
    EXPECT_EQ(0u,
              e.ErrorText().find("It's invliad to specify empty port number vector (vecPort) to "
                                 "OpenConnect()."));
}

TEST(Connect, RejectedHandshakeFailsAfterTheTimeoutWithEveryPassOffered) {
    Listener a;
    const int fdsBefore = CountFds();
    TestEngine e;
    e.handshakeResult = -1;
    const int64_t start = NowMs();
    EXPECT_EQ(ORR_ERR_HANDSHAKE, e.OpenConnect(kIp, {a.Port()}, 0, 1));
    const int64_t took = NowMs() - start;
    EXPECT_GE(took, 990);
    EXPECT_LT(took, 1500);
    EXPECT_GT(e.handshakeCalls.load(), 5); // offered again in every later pass
    EXPECT_FALSE(e.IsConnected());
    EXPECT_EQ(0u,
              e.ErrorText().find("It's OK to build connection, but server handshake was failed."));
    Peer p = a.Accept();
    EXPECT_TRUE(p.WaitEof(2000));
    p.Close();
    EXPECT_EQ(fdsBefore, CountFds());
}

TEST(Connect, CloseConnectFromAnotherThreadAbortsTheWait) {
    BlackholePort hole;
    TestEngine e;
    int result = 0;
    const int64_t start = NowMs();
    PeerThread t([&] { result = e.OpenConnect(kIp, {hole.Port()}, 0, 5); });
    SleepMs(150);
    e.CloseConnect(); // waits for the connect procedure to give up
    t.Join();
    const int64_t took = NowMs() - start;
    EXPECT_EQ(ORR_ERR_NO_CONNECTION, result);
    EXPECT_LT(took, 1000);
    EXPECT_FALSE(e.IsConnected());
}

TEST(Connect, PendingWaitRefusesOpenConnectAndInitSocket) {
    Listener a;
    TestEngine e;
    e.m_bPending = true;
    EXPECT_EQ(ORR_ERR_REENTRY, e.OpenConnect(kIp, {a.Port()}, 0, 1));
    EXPECT_EQ(0u, e.ErrorText().find("Function reentry is not allowed: ProtocolBase::OpenConnect"));
    SocketPair sp = MakePair();
    EXPECT_EQ(ORR_ERR_REENTRY, e.InitSocket(sp.engineEnd, 0));
    EXPECT_EQ(0u, e.ErrorText().find("Function reentry is not allowed: ProtocolBase::InitSocket"));
    ::close(sp.engineEnd); // not adopted
    e.m_bPending = false;
}

TEST(Connect, ConnectPortsRefusesWhileADescriptorIsHeld) {
    Listener a;
    TestEngine e;
    SocketPair sp = MakePair();
    ASSERT_EQ(0, e.InitSocket(sp.engineEnd, 1));
    EXPECT_EQ(ORR_ERR_STILL_CLOSING, e.ConnectPorts(kIp, {a.Port()}, 0, 1));
    EXPECT_TRUE(e.IsConnected());
    EXPECT_EQ(0u, e.ErrorText().find("Previous network thread is still busy at closing itself"));
}

TEST(Connect, ReConnectWithoutASocketFails) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    EXPECT_EQ(ORR_ERR_INIT_OBJECT, e.ReConnect());
    EXPECT_EQ(0u, e.ErrorText().find("Failed to init object: Invalid m_Socket ["));
    EXPECT_EQ(1, log.Count("DEBUG | ReConnect  sock:-1"));
}

TEST(Connect, ReConnectReplacesTheConnection) {
    Listener a;
    TestEngine e;
    e.UseReader(0x1B, TestEngine::kRead2);
    ASSERT_EQ(0, e.OpenConnect(kIp, {a.Port()}, 0, 1));
    Peer first = a.Accept();
    ASSERT_EQ(0, e.ReConnect());
    Peer second = a.Accept();
    EXPECT_TRUE(first.WaitEof(2000));
    PeerThread t([&] {
        second.Read(8);
        second.Write(Frame(0x1B, "re"));
    });
    EXPECT_EQ(0, e.RequestCommand(0x1A, 0x1B, "Again", "", false, 1));
    t.Join();
    EXPECT_EQ("re", e.Payloads().at(0));
    EXPECT_EQ(0, e.closeCalls.load());
}

TEST(Connect, SocketOptionsAreAppliedAndBlockingModeRestored) {
    Listener a;
    TestEngine e;
    e.SetSndRcvTimeout(7);
    ASSERT_EQ(0, e.OpenConnect(kIp, {a.Port()}, 1, 1));
    const int fd = e.GetSocket();
    EXPECT_EQ(1, GetIntOpt(fd, IPPROTO_TCP, TCP_NODELAY));
    EXPECT_EQ(1, GetIntOpt(fd, SOL_SOCKET, SO_OOBINLINE));
    EXPECT_EQ(7, GetTimeoutSec(fd, SO_RCVTIMEO));
    EXPECT_EQ(7, GetTimeoutSec(fd, SO_SNDTIMEO));
    EXPECT_EQ(0, ::fcntl(fd, F_GETFL, 0) & O_NONBLOCK);
}

TEST(Connect, InitSocketLeavesTheBlockingModeAsGiven) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    SocketPair sp = MakePair(true);
    const int fd = sp.engineEnd;
    ASSERT_EQ(0, e.InitSocket(fd, 0));
    EXPECT_EQ(fd, e.GetSocket());
    EXPECT_NE(0, ::fcntl(fd, F_GETFL, 0) & O_NONBLOCK);
    EXPECT_EQ(30, GetTimeoutSec(fd, SO_RCVTIMEO));
    EXPECT_EQ(1, log.Count("DEBUG | InitSocket " + std::to_string(fd) + " 0 [Protocol"));
    // TCP_NODELAY does not apply to a local socket: logged at WARN and ignored.
    EXPECT_EQ(1, log.Count("WARN  | InitSocket setsockopt(TCP_NODELAY) failed"));
}

TEST(Connect, CloseConnectOnAClosedEngineOnlyLogs) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.SetError(-7, "", "", __FILE__, __LINE__);
    e.CloseConnect();
    e.CloseConnect();
    EXPECT_EQ(-7, e.GetErrorCode());
    EXPECT_EQ(1, log.Count("DEBUG | CloseConnect 0 0 sock:-1"));
    EXPECT_EQ(1, log.Count("DEBUG | CloseConnect 0 1 sock:-1"));
}
