// Event dispatch: in-order handling with OnEventHandled, no dispatcher,
// stopping while a handler runs, and the answer winning over an event handler.
#include "EngineTestUtil.h"

using namespace enginetest;

TEST(Dispatch, EventsAreHandledInArrivalOrder) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseEventA(5);
    e.UseEventB(3);
    e.UseReader(5, TestEngine::kRead2);
    e.UseReader(3, TestEngine::kRead4);
    Peer peer = Adopt(e);
    const std::string fd = std::to_string(e.GetSocket());
    peer.Write(Frame(5, "e1") + Frame(3, "ev02") + Frame(5, "e3"));
    ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 3; }));
    const std::vector<std::pair<int, int>> expected = {{5, 10}, {3, 20}, {5, 10}};
    EXPECT_EQ(expected, e.Handled());
    const std::vector<std::string> payloads = {"e1", "ev02", "e3"};
    EXPECT_EQ(payloads, e.EventPayloads());
    EXPECT_EQ(2, log.Count("INFO  | <== NetworkThread got event 0x05, len=2 sock:" + fd));
    EXPECT_EQ(1, log.Count("INFO  | <== NetworkThread got event 0x03, len=4 sock:" + fd));
    EXPECT_EQ(1, log.Count("DEBUG | DispatcherThread begin sock:" + fd));
    EXPECT_EQ(1, log.Count("INFO  | DispatcherThread id: "));
    EXPECT_EQ(0, e.QueueSize());
}

TEST(Dispatch, EventLatencyIsNotAPollingSlice) {
    TestEngine e;
    e.UseEventA(7);
    Peer peer = Adopt(e);
    SleepMs(20); // the dispatcher is idle in its wait
    const int64_t start = NowMs();
    peer.Write(Frame(7));
    ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));
    EXPECT_LT(NowMs() - start, 25);
}

TEST(Dispatch, WithoutADispatcherEventsStayQueued) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseEventA(5);
    Peer peer = Adopt(e, 1);
    peer.Write(Frame(5) + Frame(5) + Frame(5));
    ASSERT_TRUE(WaitUntil([&] { return e.QueueSize() == 3; }));
    SleepMs(50);
    EXPECT_EQ(3u, e.QueueSize());
    EXPECT_TRUE(e.Handled().empty());
    EXPECT_EQ(0, log.Count("DispatcherThread begin sock:"));
    EXPECT_EQ(nullptr, e.m_pDispatcherThread.get());
    // A later start with a dispatcher empties the queue first.
    e.CloseConnect();
    SocketPair sp = MakePair();
    ASSERT_EQ(0, e.InitSocket(sp.engineEnd, 0));
    EXPECT_EQ(0u, e.QueueSize());
    EXPECT_TRUE(e.Handled().empty());
}

TEST(Dispatch, StopWhileAHandlerRunsFinishesItAndDiscardsTheRest) {
    TempLog log;
    TestEngine e;
    e.OpenLog(log);
    e.UseEventBlocking(9);
    e.UseEventA(5);
    Peer peer = Adopt(e);
    peer.Write(Frame(9) + Frame(5) + Frame(5));
    ASSERT_TRUE(WaitUntil([&] { return e.blockedStarted.load() && e.QueueSize() == 2; }));
    e.CloseConnect(); // does not join the dispatch thread
    EXPECT_EQ(0, log.Count("DispatcherThread end"));
    e.ReleaseBlocked();
    ASSERT_TRUE(log.WaitFor("DispatcherThread end sock:"));
    const std::vector<std::pair<int, int>> expected = {{9, 30}};
    EXPECT_EQ(expected, e.Handled());
    EXPECT_EQ(0u, e.QueueSize());
}

TEST(Dispatch, TheAwaitedAnswerWinsOverAnEventHandler) {
    TestEngine e;
    e.UseEventA(0x19);
    e.UseReader(0x19, TestEngine::kRead2);
    Peer peer = Adopt(e);
    PeerThread t([&] {
        peer.Read(8);
        peer.Write(Frame(0x19, "an") + Frame(0x19, "ev"));
    });
    EXPECT_EQ(0, e.RequestCommand(0x18, 0x19, "Both", "", true, 1));
    t.Join();
    ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));
    EXPECT_EQ("an", e.Payloads().at(0));
    EXPECT_EQ("ev", e.EventPayloads().at(0));
}

TEST(Dispatch, HandlerMayMakeARequest) {
    class RequestingEngine : public TestEngine {
    public:
        RequestingEngine() {
            m_EventHandlers[0x50] = static_cast<EventHandler>(&RequestingEngine::OnPing);
            UseReader(0x61, kRead2);
        }
        ~RequestingEngine() override { StopAll(); }
        std::atomic<int> result{1};

    private:
        int OnPing(const char*) {
            result = RequestCommand(0x60, 0x61, "FromHandler", "", true, 1);
            return result;
        }
    };
    RequestingEngine e;
    SocketPair sp = MakePair();
    ASSERT_EQ(0, e.InitSocket(sp.engineEnd, 0));
    sp.peer.Write(Frame(0x50));
    EXPECT_EQ(Frame(0x60), sp.peer.Read(8));
    sp.peer.Write(Frame(0x61, "ok"));
    ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));
    EXPECT_EQ(0, e.result.load());
    EXPECT_EQ("ok", e.Payloads().at(0));
}

