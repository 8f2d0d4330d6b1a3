// Engine lifecycle: defaults after construction, destruction in every
// state (never connected, connected, right after a receive failure), reconnecting after
// failures, SIGPIPE, and the descriptor/thread leak check over 1,000 cycles.
#include "EngineTestUtil.h"

#include <csignal>

using namespace enginetest;

namespace {

const char* kIp = "127.0.0.1";

// A loopback peer that answers every 8-byte request "RecvIPC"+0x1A with "RecvIPC"+0x1B+"ok",
// one connection after the other, until stopped.
class AnsweringServer {
public:
    AnsweringServer() : m_thread([this] { Run(); }) {}
    ~AnsweringServer() {
        m_stop = true;
        m_thread.join();
    }
    uint16_t Port() const { return m_listener.Port(); }

private:
    void Run() {
        while (!m_stop) {
            Peer p = m_listener.Accept(20);
            if (p.Fd() < 0) {
                continue;
            }
            while (!m_stop) {
                std::string req = p.Read(8, 2000);
                if (req.size() != 8) {
                    break; // closed by the engine
                }
                p.Write(Frame(0x1B, "ok"));
            }
        }
    }

    Listener m_listener;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

TEST(Lifecycle, FreshEngineHasTheDefaults) {
    TestEngine e(false);
    EXPECT_FALSE(e.IsConnected());
    EXPECT_EQ(-1, e.GetSocket());
    EXPECT_FALSE(e.IsPending());
    EXPECT_FALSE(e.m_bRunning.load());
    EXPECT_EQ(0, e.m_AnsCode.load());
    EXPECT_EQ(30, e.m_nSndRcvTimeout);
    EXPECT_EQ(std::string(1, '\0'), e.m_SendBuffer);
    EXPECT_TRUE(e.m_CmdPrefix.empty());
    EXPECT_TRUE(e.m_CustCmdPrefix.empty());
    EXPECT_EQ(nullptr, e.m_pThreadGroup.get());
    EXPECT_EQ(nullptr, e.m_pDispatcherThread.get());
    EXPECT_EQ(nullptr, e.m_pCloseThread.get());
    for (int i = 0; i < 256; ++i) {
        EXPECT_TRUE(e.m_EventHandlers[i] == &TestEngine::OnUnknownCommand) << i;
        EXPECT_TRUE(e.m_ReadHandlers[i] == &TestEngine::ReadNothing) << i;
    }
    EXPECT_EQ(0, e.GetErrorCode());
}

TEST(Lifecycle, DestroyingANeverConnectedEngineOnlyLogs) {
    TempLog log;
    {
        ProtocolBase e;
        ASSERT_EQ(0, e.GetLogger()->Open(log.Path(), DL_DEBUG, 0));
    }
    EXPECT_EQ(1, log.Count("DEBUG | CloseConnect 0 0 sock:-1"));
}

TEST(Lifecycle, DestroyWhileConnectedIsImmediate) {
    TempLog log;
    {
        // Warm-up: a sanitizer may start a helper thread with the first thread created.
        SocketPair warm = MakePair();
        ProtocolBase e;
        ASSERT_EQ(0, e.InitSocket(warm.engineEnd, 0));
    }
    const int threadsBefore = CountThreads();
    SocketPair sp = MakePair();
    int64_t took = 0;
    {
        auto e = std::make_unique<ProtocolBase>();
        ASSERT_EQ(0, e->GetLogger()->Open(log.Path(), DL_DEBUG, 0));
        ASSERT_EQ(0, e->InitSocket(sp.engineEnd, 0));
        SleepMs(20);
        const int64_t start = NowMs();
        e.reset();
        took = NowMs() - start;
    }
    EXPECT_LT(took, 25); // well under one 30 ms slice
    EXPECT_TRUE(sp.peer.WaitEof());
    EXPECT_EQ(threadsBefore, CountThreads());
    EXPECT_EQ(0, log.Count("ErrorCode="));
}

TEST(Lifecycle, DestroyRightAfterAReceiveFailure) {
    for (int i = 0; i < 50; ++i) {
        SocketPair sp = MakePair();
        auto e = std::make_unique<ProtocolBase>();
        ASSERT_EQ(0, e->InitSocket(sp.engineEnd, 0));
        sp.peer.Close();
        if (i % 2 == 0) {
            // Wait until the close thread has been started (m_bRunning falls at the exit
            // of the receive thread, after the close thread was created).
            ASSERT_TRUE(WaitUntil([&] { return e->GetErrorCode() == ORR_ERR_GRACEFUL_CLOSE; }));
        }
        e.reset(); // joins the receive, dispatch and close threads without deadlock
    }
}

TEST(Lifecycle, SecondOpenConnectReplacesTheConnection) {
    Listener l;
    TestEngine e;
    e.UseReader(0x1B, TestEngine::kRead2);
    ASSERT_EQ(0, e.OpenConnect(kIp, {l.Port()}, 0, 1));
    Peer first = l.Accept();
    ASSERT_EQ(0, e.OpenConnect(kIp, {l.Port()}, 0, 1));
    Peer second = l.Accept();
    EXPECT_TRUE(first.WaitEof());
    PeerThread t([&] {
        second.Read(8);
        second.Write(Frame(0x1B, "v2"));
    });
    EXPECT_EQ(0, e.RequestCommand(0x1A, 0x1B, "Second", "", true, 1));
    t.Join();
    EXPECT_EQ(0, e.closeCalls.load());
}

TEST(Lifecycle, ReconnectRightAfterAFailureKeepsTheNewConnection) {
    // The close thread of the old connection must not tear down the new one.
    for (int i = 0; i < 30; ++i) {
        TestEngine e;
        e.UseReader(0x1B, TestEngine::kRead2);
        SocketPair a = MakePair();
        ASSERT_EQ(0, e.InitSocket(a.engineEnd, 0));
        a.peer.Close();
        if (i % 3 == 1) {
            ASSERT_TRUE(WaitUntil([&] { return e.GetErrorCode() < 0; }));
        }
        SocketPair b = MakePair();
        ASSERT_EQ(0, e.InitSocket(b.engineEnd, 0));
        PeerThread t([&] {
            b.peer.Read(8);
            b.peer.Write(Frame(0x1B, "ok"));
        });
        EXPECT_EQ(0, e.RequestCommand(0x1A, 0x1B, "After", "", true, 1)) << i;
        t.Join();
        SleepMs(i % 3 == 2 ? 5 : 0);
        EXPECT_TRUE(e.IsConnected()) << i;
        EXPECT_EQ(b.engineEnd, e.GetSocket());
    }
}

TEST(Lifecycle, SigpipeIsIgnoredAfterConstruction) {
    ::signal(SIGPIPE, SIG_DFL);
    ProtocolBase e;
    SocketPair sp = MakePair();
    sp.peer.Close();
    EXPECT_EQ(-1, ::write(sp.engineEnd, "x", 1));
    EXPECT_EQ(EPIPE, errno);
    ::close(sp.engineEnd);
}

TEST(Lifecycle, ThousandCyclesLeaveDescriptorsAndThreadsAsTheyWere) {
    AnsweringServer server;
    TestEngine e;
    e.UseReader(0x1B, TestEngine::kRead2);
    const int fdsBefore = CountFds();
    const int threadsBefore = CountThreads();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(0, e.OpenConnect(kIp, {server.Port()}, 0, 1)) << i;
        ASSERT_EQ(0, e.RequestCommand(0x1A, 0x1B, "Cycle", "", true, 2)) << i;
        e.CloseConnect();
    }
    // The last dispatch thread ends by itself right after CloseConnect, and the server
    // closes its end of the last connection when it sees it closed.
    EXPECT_TRUE(WaitUntil(
        [&] { return CountThreads() == threadsBefore && CountFds() == fdsBefore; }, 2000));
    EXPECT_EQ(threadsBefore, CountThreads());
    EXPECT_EQ(fdsBefore, CountFds());
    EXPECT_EQ(1000u, e.Payloads().size());
}
