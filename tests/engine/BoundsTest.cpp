// Every wait of the engine ends at its budget (or when it is told to stop), whatever the
// peer sends, however slowly, and whatever the wall clock does meanwhile: it is stepped as
// NTP steps it at boot.
#include "Peer.h"
#include "TestEngine.h"
#include "WallClock.h"
#include "Wire.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using lyx::SocketStream;

using namespace peer;
using wire::Frame;

namespace {

constexpr uint8_t kReq = 0x10, kAns = 0x11;
constexpr int kAnswerSize = 20;
const size_t kRequestSize = 7 + 1 + 4;
constexpr int64_t kHourMs = 3600 * 1000;
// How late a wait may end on a busy machine: under ThreadSanitizer only faults of seconds
// show (a deadline or a clock step ignored); elsewhere a wait a second late does too.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlackMs = 2000;
#else
constexpr int kSlackMs = 900;
#endif

// An engine whose answers carry kAnswerSize bytes with its service end, a bare socket with
// its peer, and a port whose accept queue is full (a connect to it never completes).
struct Fixture {
    Fixture() {
        e.Reader<kAns>(kAnswerSize);
        auto pair = SocketPair(), bare = SocketPair();
        engineEnd = pair.first;
        service = std::move(pair.second);
        stream.Attach(bare.first);
        streamPeer = std::move(bare.second);
        filler = ConnectTo(full.Port());
        fds = CountFds();
    }
    TestEngine e;
    int engineEnd = -1;
    Peer service, streamPeer, filler;
    SocketStream stream;
    Listener full{0};
    int fds = 0;
};

int Request(Fixture& f) { // 1 s
    f.e.InitSocket(f.engineEnd, 0);
    return f.e.RequestCommand(kReq, kAns, "Q", "body", true, 1);
}
int Connect(Fixture& f) { // 1 s
    return f.e.OpenConnect("127.0.0.1", {f.full.Port()}, 0, 1);
}
int ConnectSixPortsForAnHour(Fixture& f) {
    return f.e.OpenConnect("127.0.0.1", std::vector<uint16_t>(6, f.full.Port()), 0, 3600);
}
int ReadFiveBytesIn60Ms(Fixture& f) {
    char buf[5];
    return f.stream.Recv(buf, 5, 0, 60);
}
// Two threads send until the connection is gone; the result is the close-hook count.
int TwoSendersUntilClosed(Fixture& f) {
    f.e.InitSocket(f.engineEnd, 0);
    const std::string block(1 << 20, 'x');
    auto send = [&] {
        while (f.e.IsConnected()) {
            f.e.SendCommandData(block.data(), uint32_t(block.size()), 0, false);
        }
    };
    std::thread a(send), b(send);
    WaitUntil([&] { return !f.e.IsConnected(); });
    a.join();
    b.join();
    return f.e.closeCalls;
}
// A send of 1 MiB on a TCP connection that its peer has reset: nothing is sent.
int SendAfterAReset(Fixture&) {
    Listener listener;
    Peer client = ConnectTo(listener.Port());
    listener.Accept().Reset();
    SleepMs(50); // the reset has arrived
    SocketStream stream;
    stream.Attach(::dup(client.Fd()));
    const std::string block(1 << 20, 'x');
    return stream.Send(block.data(), uint32_t(block.size()), 0);
}

// The peers, each on a thread of its own.
std::function<void(Fixture&)> StepAfterRequest(int64_t ms) {
    return [ms](Fixture& f) {
        f.service.Read(kRequestSize);
        StepWallClock(ms);
    };
}
// 0: CloseConnect instead of a step.
std::function<void(Fixture&)> StepAfterCandidate(int64_t ms) {
    return [ms](Fixture& f) {
        WaitUntil([&] { return CountFds() > f.fds; }); // the connect's socket exists
        if (ms == 0) {
            f.e.CloseConnect();
        } else {
            StepWallClock(ms);
        }
    };
}
void TrickleAnswer(Fixture& f) { // a byte every 300 ms
    f.service.Read(kRequestSize);
    f.service.Write(Frame(kAns));
    for (int i = 0; i < kAnswerSize && f.e.IsConnected(); ++i) {
        SleepMs(300);
        f.service.Write("x");
    }
}
void AnswerInTwoPartsAcrossAStep(Fixture& f) {
    f.service.Read(kRequestSize);
    f.service.Write(Frame(kAns, std::string(kAnswerSize / 2, 'a')));
    SleepMs(50);
    StepWallClock(kHourMs);
    SleepMs(50);
    f.service.Write(std::string(kAnswerSize / 2, 'b'));
}
void TwoBytesThenAStep(Fixture& f) {
    f.streamPeer.Write("AB");
    SleepMs(20);
    StepWallClock(kHourMs);
}
void DropWhileSending(Fixture& f) {
    f.service.Read(1); // the senders are sending
    f.service.Close();
}

} // namespace

TEST(Bounds, EveryWaitEndsAtItsBudgetWhateverThePeerOrTheWallClockDoes) {
    struct Row {
        const char* name;
        std::function<int(Fixture&)> wait;
        std::function<void(Fixture&)> peer;
        int result;
        int minMs = 950, maxMs = 1000 + kSlackMs; // how long the wait may take
    };
    // clang-format off
    const Row rows[] = {
        {.name = "request, silent service, clock set back 2 s",
         .wait = Request, .peer = StepAfterRequest(-2000), .result = ORR_ERR_NO_RESPONSE},
        {.name = "request, silent service, clock set forward 1 h",
         .wait = Request, .peer = StepAfterRequest(kHourMs), .result = ORR_ERR_NO_RESPONSE},
        // The answer's reader is still reading at the time-out: the request ends anyway.
        {.name = "request, answer trickles",
         .wait = Request, .peer = TrickleAnswer, .result = ORR_ERR_NO_RESPONSE},
        {.name = "request, answer in two parts across a clock step",
         .wait = Request, .peer = AnswerInTwoPartsAcrossAStep, .result = 0, .minMs = 0},
        {.name = "connect, never completes, clock set back 2 h",
         .wait = Connect, .peer = StepAfterCandidate(-2 * kHourMs), .result = ORR_ERR_NO_CONNECTION},
        // Even while its connects are still being started, one every 30 ms.
        {.name = "connect of an hour, closed from another thread", .wait = ConnectSixPortsForAnHour,
         .peer = StepAfterCandidate(0), .result = ORR_ERR_NO_CONNECTION, .minMs = 0},
        // Not rounded to 0 or to a whole second.
        {.name = "read, 60 ms budget, clock set forward 1 h", .wait = ReadFiveBytesIn60Ms,
         .peer = TwoBytesThenAStep, .result = 2, .minMs = 55, .maxMs = kSlackMs},
        // Sends on a connection that is gone end at once instead of retrying for their
        // budget under the send lock, so the close thread's tear-down is prompt.
        {.name = "tear-down behind two senders",
         .wait = TwoSendersUntilClosed, .peer = DropWhileSending, .result = 1, .minMs = 0},
        {.name = "send on a reset connection", .wait = SendAfterAReset, .peer = [](Fixture&) {},
         .result = 0, .minMs = 0},
    };
    // clang-format on
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
