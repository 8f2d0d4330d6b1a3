// Faults found in review, each pinned by the case that showed it.
#include "Peer.h"
#include "SocketStream.h"
#include "TestEngine.h"
#include "Wire.h"

#include <cerrno>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace peer;
using wire::Be32;
using wire::Frame;

namespace {

constexpr uint8_t kReq = 0x10, kAns = 0x11;
const std::string kPayload(32, '\x01');

} // namespace

// A handler (dispatch thread) or a payload reader (receive thread) that connects the
// engine anew keeps exactly one thread of each kind, events stay one at a time, and no
// thread outlives the engine.
TEST(EngineFaults, ReconnectFromAHandlerOrReaderKeepsOneThreadOfEachKind) {
    for (bool fromReader : {false, true}) {
        SCOPED_TRACE(fromReader ? "payload reader" : "event handler");
        const int baseline = CountThreads();
        {
            TestEngine e;
            auto first = SocketPair();
            auto second = SocketPair();
            auto reconnect = [&] { EXPECT_EQ(0, e.InitSocket(second.first, 0)); };
            e.Reader<1>(0, fromReader ? reconnect : std::function<void()>());
            e.Event<1>(fromReader ? std::function<void()>() : reconnect);
            e.Reader<2>(4);
            e.Event<2>([] { SleepMs(2); });
            ASSERT_EQ(0, e.InitSocket(first.first, 0));
            first.second.Write(Frame(1));
            ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));

            std::string burst;
            for (uint32_t i = 0; i < 20; ++i) {
                burst += Frame(2, Be32(i));
            }
            second.second.Write(burst);
            ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 21; }));
            EXPECT_EQ(e.maxInside, 1);
            std::vector<TestEngine::Read> reads;
            for (const TestEngine::Read& r : e.Reads()) {
                if (r.code == 2) {
                    reads.push_back(r);
                }
            }
            ASSERT_EQ(reads.size(), 20u);
            for (uint32_t i = 0; i < 20; ++i) {
                EXPECT_EQ(reads[i].bytes, Be32(i));
            }
            EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baseline + 2; }))
                << CountThreads() - baseline << " engine threads";
        }
        EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baseline; }));
    }
}

// A blocking socket without time-outs: one receive or send call must not outlast the
// loop's budget. Broken, this case never ends.
TEST(EngineFaults, ReadsAndSendsKeepTheirBudgetOnABlockingSocket) {
    auto pair = SocketPair();
    SocketStream stream;
    stream.Attach(pair.first);
    char buf[8];
    EXPECT_EQ(0, stream.Recv(buf, sizeof(buf), 0, 50));
    pair.second.Write("abc");
    EXPECT_EQ(3, stream.Recv(buf, sizeof(buf), MSG_PEEK, 50));
    EXPECT_EQ(3, stream.Recv(buf, sizeof(buf), 0, 50));

    std::string big(8 << 20, 'x'); // more than the socket buffers hold; nobody reads
    const int sent = stream.Send(big.data(), uint32_t(big.size()), 0);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, int(big.size()));
}

// The peer answers and closes at once: the answer was read, so the request succeeded.
TEST(EngineFaults, AnswerFollowedByACloseIsASuccess) {
    int failed = 0;
    for (int round = 0; round < 30; ++round) {
        TestEngine e;
        e.Reader<kAns>(4);
        auto pair = SocketPair();
        ASSERT_EQ(0, e.InitSocket(pair.first, 0));
        std::thread service([&] {
            pair.second.Read(40);
            pair.second.Write(Frame(kAns, "abcd"));
            pair.second.Close();
        });
        failed += e.RequestCommand(kReq, kAns, "Q", kPayload, true, 5) != 0;
        service.join();
    }
    EXPECT_EQ(failed, 0) << "of 30 rounds";
}

// CloseConnect while the connects are still being started ends the connect procedure.
// Broken, the connect waits out its hour and this case never ends.
TEST(EngineFaults, CloseConnectDuringTheConnectLoopAbortsIt) {
    Listener full(0);
    Peer filler = ConnectTo(full.Port()); // fills the one-place accept queue
    ASSERT_GE(filler.Fd(), 0);

    TestEngine e;
    std::vector<uint16_t> ports(6, full.Port()); // none of these connects completes
    auto connect =
        std::async(std::launch::async, [&] { return e.OpenConnect("127.0.0.1", ports, 0, 3600); });
    SleepMs(40);
    e.CloseConnect();
    EXPECT_EQ(ORR_ERR_NO_CONNECTION, connect.get());
}

// A request cancelled by the end of its connection leaves no expected answer behind: on
// the next connection a frame with that code is an exceptional event, not an answer.
TEST(EngineFaults, CancelledRequestLeavesNoExpectedAnswer) {
    TestEngine e;
    e.Reader<kAns>(4);
    e.Reader<2>(0);
    e.Event<2>();
    auto first = SocketPair();
    ASSERT_EQ(0, e.InitSocket(first.first, 0));
    std::thread service([&] {
        first.second.Read(40);
        first.second.Close();
    });
    EXPECT_EQ(ORR_ERR_GRACEFUL_CLOSE, e.RequestCommand(kReq, kAns, "Q", kPayload, true, 5));
    service.join();

    auto second = SocketPair();
    ASSERT_EQ(0, e.InitSocket(second.first, 0));
    second.second.Write(Frame(kAns, "abcd") + Frame(2));
    ASSERT_TRUE(WaitUntil([&] { return e.Handled().size() == 1; }));
    for (const TestEngine::Read& r : e.Reads()) {
        EXPECT_NE(r.code, kAns) << "a frame of the new connection was taken for the answer";
    }
}

// A handshake hook that keeps rejecting a writable socket is offered it once per
// polling slice, not in a busy loop.
TEST(EngineFaults, RejectedHandshakeIsRetriedOncePerSlice) {
    Listener service;
    TestEngine e;
    e.handshakeResult = -1;
    EXPECT_EQ(ORR_ERR_HANDSHAKE, e.OpenConnect("127.0.0.1", {service.Port()}, 0, 1));
    EXPECT_GE(e.handshakeCalls, 2);
    EXPECT_LE(e.handshakeCalls, 1000 / 30 + 2);
}
