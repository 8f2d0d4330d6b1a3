// Requests and their answers, the ways a connection ends while a request waits, event
// dispatch, and the engine's life from construction to destruction.
#include "Peer.h"
#include "TestEngine.h"
#include "Wire.h"

#include <cerrno>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using lyx::EventQueue;
using lyx::EventRecord;

using namespace peer;
using wire::Frame;

namespace {

constexpr uint8_t kReq = 0x10, kAns = 0x11;
const std::string kPayload = "req-payload";
const size_t kRequestSize = 7 + 1 + kPayload.size();

int Request(TestEngine& e, int timeoutSec = 5) {
    return e.RequestCommand(kReq, kAns, "Q", kPayload, true, timeoutSec);
}

// Plays the service on its own thread: reads one request, then runs `then`.
std::thread Service(Peer& peer, std::function<void()> then) {
    return std::thread([&peer, then] {
        peer.Read(kRequestSize);
        then();
    });
}

} // namespace

TEST(Request, AnswersAreReadAndLateOnesAreNoAnswers) {
    TestEngine e;
    e.Reader<kAns>(4);
    e.Event<kAns>(); // the awaited answer wins over a handler for its code
    auto pair = SocketPair();
    ASSERT_EQ(0, e.InitSocket(pair.first, 0));
    // The prefix is set again and again meanwhile: a frame never sees half of a change.
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        while (!stop) {
            e.SetCmdPrefix("RecvIPC", 7);
            std::this_thread::yield();
        }
    });
    for (const char* answer : {"abcd", "efgh"}) {
        std::thread service = Service(pair.second, [&] { pair.second.Write(Frame(kAns, answer)); });
        EXPECT_EQ(0, Request(e));
        service.join();
        EXPECT_EQ(0, e.m_AnsCode);
        EXPECT_EQ(e.Reads().back().bytes, answer);
    }
    stop = true;
    setter.join();
    EXPECT_TRUE(e.Handled().empty());

    // No answer in time: the name and the seconds go into the text, and an answer that
    // comes afterwards is an event of its code, no longer an answer.
    std::thread silent = Service(pair.second, [] {});
    EXPECT_EQ(ORR_ERR_NO_RESPONSE, Request(e, 1));
    silent.join();
    EXPECT_EQ(
        e.ErrorText().rfind("Q command failed to receive response packet within 1 seconds. [", 0),
        0u);
    pair.second.Write(Frame(kAns, "late"));
    ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));
    EXPECT_EQ(e.Events(), std::vector<std::string>{"late"});
}

TEST(Request, EachWayTheConnectionEndsDuringAWait) {
    struct Row {
        const char* name;
        std::function<void(TestEngine&, Peer&)> end; // run by the service after the request
        int result, recorded, closeThreads;
        const char* text;    // start of the recorded error's text, if any
        int readerErrno = 0; // what the failing answer reader leaves in errno
    } rows[] = {
        {"the peer closes", [](TestEngine&, Peer& p) { p.Close(); }, ORR_ERR_GRACEFUL_CLOSE,
         ORR_ERR_GRACEFUL_CLOSE, 1, "The connection has been gracefully closed. ["},
        {"the answer's reader fails", [](TestEngine&, Peer& p) { p.Write(Frame(kAns, "x")); },
         ORR_ERR_GRACEFUL_CLOSE, ORR_ERR_GRACEFUL_CLOSE, 1, nullptr},
        {"the answer's reader fails with errno", [](TestEngine&, Peer& p) { p.Write(Frame(kAns)); },
         -EPROTO, -EPROTO, 1, nullptr, EPROTO},
        {"the custom hook fails", [](TestEngine&, Peer& p) { p.Write("CustIPC"); },
         ORR_ERR_GRACEFUL_CLOSE, ORR_ERR_GRACEFUL_CLOSE, 1, nullptr},
        {"the peer is found dead", [](TestEngine& e, Peer&) { e.peerAlive = false; },
         ORR_ERR_NO_RESPONSE, ORR_ERR_NO_RESPONSE, 1,
         "Cancel command failed to receive response packet within ? seconds. ["},
        {"CloseConnect from another thread", [](TestEngine& e, Peer&) { e.CloseConnect(); },
         ORR_ERR_NO_RESPONSE, ORR_ERR_NO_RESPONSE, 0, nullptr},
        {"CloseConnect inside a frame",
         [](TestEngine& e, Peer& p) {
             p.Write(Frame(kAns).substr(0, 4));
             SleepMs(50);
             e.CloseConnect();
         },
         ORR_ERR_NO_RESPONSE, ORR_ERR_NO_RESPONSE, 0, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestEngine e;
        e.Reader<kAns>(-1, [&] { errno = row.readerErrno != 0 ? row.readerErrno : errno; });
        e.SetCustCmdPrefix("CustIPC");
        e.custResult = 0;
        auto failed = SocketPair(), pair = SocketPair(); // one that failed goes first
        ASSERT_EQ(0, e.InitSocket(failed.first, 0));
        failed.second.Close();
        ASSERT_TRUE(WaitUntil([&] { return e.closeCalls == 1; }));
        ASSERT_EQ(0, e.InitSocket(pair.first, 0));
        std::thread service = Service(pair.second, [&] { row.end(e, pair.second); });
        EXPECT_EQ(row.result, Request(e));
        service.join();
        ASSERT_TRUE(
            WaitUntil([&] { return !e.IsConnected() && e.closeCalls == row.closeThreads + 1; }));
        EXPECT_EQ(e.GetErrorCode(), row.recorded);
        if (row.text != nullptr) {
            EXPECT_EQ(e.ErrorText().rfind(row.text, 0), 0u) << e.ErrorText();
        }
        // No answer code is left behind to make a frame of a later connection an answer.
        EXPECT_EQ(0, e.m_AnsCode);
    }
}

// A flood while the handler is busy fills the queue up to its cap and no further (the rest
// are dropped), and an answer behind the flood still reaches its request.
TEST(Dispatch, AFloodIsCappedAndAnAnswerBehindItArrives) {
    TestEngine e;
    e.Reader<kAns>(2);
    e.Reader<5>(1024);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    e.Event<5>([released] { released.wait(); });
    auto pair = SocketPair();
    ASSERT_EQ(0, e.InitSocket(pair.first, 0));
    const int floodSize = 3000;
    std::string flood;
    for (int i = 0; i < floodSize; ++i) {
        flood += Frame(5, std::string(1024, 'e'));
    }
    std::thread service =
        Service(pair.second, [&] { pair.second.Write(flood + Frame(kAns, "ok")); });
    EXPECT_EQ(0, Request(e, 30));
    service.join();
    EXPECT_LE(e.m_EventQueue.Size(), EventQueue::kMaxEvents);
    EXPECT_LE(e.m_EventQueue.Bytes(), EventQueue::kMaxBytes);
    const uint64_t kept = floodSize - e.m_EventQueue.Dropped();
    release.set_value();
    // Every event kept is handled (one was taken by the handler before the queue filled).
    EXPECT_TRUE(WaitUntil([&] { return e.Handled().size() == kept; }, 10000));
}

// Large events meet the byte cap long before the count cap: events of 64 KiB hold at most
// 1 MiB between them, and an event taken out frees its share.
TEST(Dispatch, LargeEventsAreCappedByTheirBytes) {
    EventQueue queue;
    const std::string large(64 << 10, 'e');
    size_t kept = 0;
    while (kept < 64 && queue.Push(5, std::string(large))) {
        ++kept;
    }
    EXPECT_EQ(kept, EventQueue::kMaxBytes / large.size() - 1); // each record costs a little more
    EventRecord taken;
    EXPECT_EQ(queue.TakeOrWait(taken, 0, [] { return true; }), EventQueue::Take::kEvent);
    EXPECT_TRUE(queue.Push(5, std::string(large)));
    EXPECT_FALSE(queue.Push(5, std::string(large)));
}

TEST(Dispatch, HandlersRunOneAtATimeAndMayMakeRequests) {
    TestEngine e;
    e.Reader<kAns>(2);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> handlerRequest{1};
    e.Event<5>([&] { handlerRequest = Request(e); });
    e.Event<6>([released] { released.wait(); });
    auto pair = SocketPair();
    ASSERT_EQ(0, e.InitSocket(pair.first, 0));
    pair.second.Write(Frame(5));
    EXPECT_EQ(pair.second.Read(kRequestSize), Frame(kReq, kPayload));
    pair.second.Write(Frame(kAns, "ok"));
    ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));
    EXPECT_EQ(handlerRequest, 0);

    // A stop while a handler runs: that handler finishes, the rest are dropped.
    pair.second.Write(Frame(6) + Frame(5) + Frame(5));
    ASSERT_TRUE(WaitUntil([&] { return e.Events().size() == 2; }));
    std::thread stop([&] { e.CloseConnect(); });
    ASSERT_TRUE(WaitUntil([&] { return !e.m_bRunning; }));
    release.set_value();
    stop.join();
    e.StopThreads();
    EXPECT_EQ(e.Handled(), (std::vector<std::pair<int, int>>{{5, 105}, {6, 106}}));
    EXPECT_EQ(e.maxInside, 1);
}

// Each cycle: a connection that fails at once (its close thread may still be on its way
// when the next one is adopted, and must leave that one alone), a request on the next,
// and the engine destroyed. Every third answer is followed at once by a close: the
// request still succeeded, and the engine goes right after a receive failure.
TEST(Lifecycle, CyclesLeaveNoThreadOrDescriptorBehind) {
    const int threads = CountThreads(), fds = CountFds();
    for (int cycle = 0; cycle < 100; ++cycle) {
        TestEngine e;
        e.Reader<kAns>(2);
        e.Event<5>();
        auto failing = SocketPair(), pair = SocketPair();
        ASSERT_EQ(0, e.InitSocket(failing.first, 0));
        failing.second.Close();
        const int noDispatcher = cycle % 2; // then events stay queued
        ASSERT_EQ(0, e.InitSocket(pair.first, noDispatcher));
        std::thread service = Service(pair.second, [&] {
            pair.second.Write(Frame(5) + Frame(kAns, "ok"));
            if (cycle % 3 == 0) {
                pair.second.Close();
            }
        });
        EXPECT_EQ(0, Request(e)) << "cycle " << cycle;
        service.join();
        if (cycle % 3 == 0) {
            continue; // the close may come before the event is dispatched
        }
        EXPECT_TRUE(e.IsConnected());
        if (noDispatcher) {
            EXPECT_EQ(e.m_EventQueue.Size(), 1u);
        } else {
            EXPECT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));
        }
    }
    { TestEngine neverConnected; }
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads; }));
    EXPECT_EQ(CountFds(), fds);
}

// A handler or a payload reader that connects anew keeps one thread of each kind (never two
// receive threads on the new socket), even while a handler waits for a lock the reader holds.
TEST(Lifecycle, ReconnectFromAHandlerOrReaderKeepsOneThreadOfEachKind) {
    for (bool fromReader : {false, true}) {
        SCOPED_TRACE(fromReader ? "payload reader" : "event handler");
        const int baseline = CountThreads();
        {
            TestEngine e;
            auto first = SocketPair();
            auto second = SocketPair();
            std::atomic<bool> entered{false};
            auto reconnect = [&] { EXPECT_EQ(0, e.InitSocket(second.first, 0)); };
            e.Reader<1>(0, [&] {
                if (fromReader && WaitUntil([&] { return entered.load(); })) {
                    SleepMs(20); // the handler is then waiting for the prefix lock
                    reconnect();
                }
            });
            e.Event<1>(fromReader ? std::function<void()>() : reconnect);
            e.Event<3>([&] {
                entered = true;
                e.SetCmdPrefix("RecvIPC", 7);
            });
            e.Reader<2>(4);
            e.Event<2>([] { SleepMs(2); });
            ASSERT_EQ(0, e.InitSocket(first.first, 0));
            first.second.Write(Frame(3) + Frame(1));
            ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 2; }));

            std::string burst;
            std::vector<std::string> expected{"", ""};
            for (char c = 'a'; c < 'a' + 20; ++c) {
                expected.push_back(std::string("ev") + c + '.');
                burst += Frame(2, expected.back());
            }
            second.second.Write(burst);
            ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 22; }));
            EXPECT_EQ(e.Events(), expected); // every frame read once, in order
            EXPECT_EQ(e.maxInside, 1);
            EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baseline + 2; }))
                << CountThreads() - baseline << " engine threads";
        }
        EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baseline; }));
    }
}
