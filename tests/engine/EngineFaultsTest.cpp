// Faults found in review, each pinned by the case that showed it.
#include "Peer.h"
#include "TestEngine.h"
#include "Wire.h"

#include <future>
#include <gtest/gtest.h>

using namespace peer;
using wire::Frame;

// A handler (dispatch thread) or a payload reader (receive thread) that connects the
// engine anew keeps exactly one thread of each kind, events stay one at a time, and no
// thread outlives the engine, also while a handler waits for a lock that the reader holds.
TEST(EngineFaults, ReconnectFromAHandlerOrReaderKeepsOneThreadOfEachKind) {
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
                    SleepMs(20), reconnect(); // the handler now waits for the prefix lock
                }
            });
            e.Event<1>(fromReader ? std::function<void()>() : reconnect);
            e.Event<3>([&] { entered = true, e.SetCmdPrefix("RecvIPC", 7); });
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
