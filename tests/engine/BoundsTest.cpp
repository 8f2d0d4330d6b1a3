// Every wait of the engine ends at its budget, whatever the peer sends, however slowly,
// and whatever the wall clock does meanwhile (it is stepped as NTP steps it at boot).
#include "Peer.h"
#include "TestEngine.h"
#include "WallClock.h"
#include "Wire.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace peer;
using wire::Frame;

namespace {

constexpr uint8_t kReq = 0x10, kAns = 0x11;
constexpr int kAnswerSize = 20;
const size_t kRequestSize = 7 + 1 + 4;
constexpr int64_t kHourMs = 3600 * 1000;

// An engine whose answers carry kAnswerSize bytes, its service end, a bare socket with
// its peer, and a port whose accept queue is full (a connect to it never completes).
struct Fixture {
    Fixture() {
        e.Reader<kAns>(kAnswerSize);
        auto pair = SocketPair();
        engineEnd = pair.first;
        service = std::move(pair.second);
        auto bare = SocketPair();
        stream.Attach(bare.first);
        streamPeer = std::move(bare.second);
        filler = ConnectTo(full.Port());
        fds = CountFds();
    }
    int Request(int timeoutSec) {
        e.InitSocket(engineEnd, 0);
        return e.RequestCommand(kReq, kAns, "Q", "body", true, timeoutSec);
    }

    TestEngine e;
    int engineEnd = -1;
    Peer service;
    SocketStream stream;
    Peer streamPeer;
    Listener full{0};
    Peer filler;
    int fds = 0;
};

int Request(Fixture& f) {
    return f.Request(1);
}
int Connect(Fixture& f) {
    return f.e.OpenConnect("127.0.0.1", {f.full.Port()}, 0, 1);
}
// A peer that waits for the request (or the connect's candidate socket), then steps the clock.
std::function<void(Fixture&)> StepAfterRequest(int64_t ms) {
    return [ms](Fixture& f) {
        f.service.Read(kRequestSize);
        StepWallClock(ms);
    };
}
std::function<void(Fixture&)> StepAfterCandidate(int64_t ms) {
    return [ms](Fixture& f) {
        WaitUntil([&] { return CountFds() > f.fds; });
        StepWallClock(ms);
    };
}

} // namespace

TEST(Bounds, EveryWaitEndsAtItsBudgetWhateverThePeerOrTheWallClockDoes) {
    struct Row {
        const char* name;
        std::function<int(Fixture&)> wait;
        std::function<void(Fixture&)> peer; // on a thread of its own while the wait runs
        int result;
        int minMs = 950, maxMs = 1700; // how long the wait may take (budgets of 1 s)
    } rows[] = {
        {.name = "request, silent service, clock set back 2 s",
         .wait = Request,
         .peer = StepAfterRequest(-2000),
         .result = ORR_ERR_NO_RESPONSE},
        {.name = "request, silent service, clock set forward 1 h",
         .wait = Request,
         .peer = StepAfterRequest(kHourMs),
         .result = ORR_ERR_NO_RESPONSE},
        // The answer's reader is still reading at the time-out: the request ends anyway.
        {.name = "request, answer trickles a byte every 300 ms",
         .wait = Request,
         .peer =
             [](Fixture& f) {
                 f.service.Read(kRequestSize);
                 f.service.Write(Frame(kAns));
                 for (int i = 0; i < kAnswerSize && f.e.IsConnected(); ++i) {
                     SleepMs(300);
                     f.service.Write("x");
                 }
             },
         .result = ORR_ERR_NO_RESPONSE},
        {.name = "request, answer in two parts with the clock set forward 1 h between",
         .wait = Request,
         .peer =
             [](Fixture& f) {
                 f.service.Read(kRequestSize);
                 f.service.Write(Frame(kAns, std::string(kAnswerSize / 2, 'a')));
                 SleepMs(50);
                 StepWallClock(kHourMs);
                 SleepMs(50);
                 f.service.Write(std::string(kAnswerSize / 2, 'b'));
             },
         .result = 0,
         .minMs = 0},
        {.name = "connect, never completes, clock set back 2 h",
         .wait = Connect,
         .peer = StepAfterCandidate(-2 * kHourMs),
         .result = ORR_ERR_NO_CONNECTION},
        {.name = "connect, never completes, clock set forward 1 h",
         .wait = Connect,
         .peer = StepAfterCandidate(kHourMs),
         .result = ORR_ERR_NO_CONNECTION},
        // A budget below a second is kept to the millisecond, not rounded to 0 or to 1 s.
        {.name = "read of 5 bytes, 2 come, 60 ms budget, clock set forward 1 h",
         .wait =
             [](Fixture& f) {
                 char buf[5];
                 return f.stream.Recv(buf, 5, 0, 60);
             },
         .peer =
             [](Fixture& f) {
                 f.streamPeer.Write("AB");
                 SleepMs(20);
                 StepWallClock(kHourMs);
             },
         .result = 2,
         .minMs = 55,
         .maxMs = 700},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f;
        std::thread peer([&] { row.peer(f); });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(row.wait(f), row.result);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        peer.join();
        EXPECT_GE(ms, row.minMs);
        EXPECT_LT(ms, row.maxMs);
    }
}
