// Closing and reconnecting from the engine's own threads (a payload reader, an event
// handler, the close thread) while the main thread closes or reconnects too: every call
// returns, whatever the interleaving, and the engine can connect again afterwards.
#include "Peer.h"
#include "TestEngine.h"
#include "Wire.h"

#include <cstdio>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace peer;
using wire::Frame;

namespace {

enum class Who { kReader, kHandler, kCloseThread };
enum class Op { kClose, kReConnect };

int CallOn(TestEngine& e, Op op) {
    if (op == Op::kReConnect) {
        return e.ReConnect();
    }
    e.CloseConnect();
    return 0;
}

// Runs fn on a thread of its own. A call that deadlocks can never be freed, so one that
// has not returned within 20 s ends the test program.
void ReturnsWithin20s(const char* what, const std::function<void()>& fn) {
    std::promise<void> done;
    std::thread t([&] {
        fn();
        done.set_value();
    });
    if (done.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return\n", what);
        std::_Exit(1);
    }
    t.join();
}

} // namespace

TEST(Lifecycle, ClosingFromAnyThreadWhileTheMainThreadClosesReturns) {
    struct Row {
        Who who;
        Op engine, main;
    };
    const Row rows[] = {
        {Who::kReader, Op::kClose, Op::kClose},
        {Who::kReader, Op::kReConnect, Op::kReConnect},
        {Who::kHandler, Op::kClose, Op::kReConnect},
        {Who::kHandler, Op::kReConnect, Op::kClose},
        {Who::kCloseThread, Op::kClose, Op::kClose},
        {Who::kCloseThread, Op::kReConnect, Op::kReConnect},
    };
    const int baseline = CountThreads();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "engine thread " << int(row.who) << ", its call "
                                        << int(row.engine) << ", main's " << int(row.main));
        {
            Listener listener; // a row's own: the connects of the last one are still queued
            TestEngine e;
            // The latch: the engine thread's call comes while the main thread's call is under
            // way (its stop raised, and then, mostly, a join begun).
            std::atomic<bool> inside{false}, mainStarted{false};
            std::atomic<int> engineResult{1};
            const std::function<void()> act = [&] {
                inside = true;
                WaitUntil([&] { return mainStarted && !e.m_bRunning; });
                SleepMs(50);
                engineResult = CallOn(e, row.engine);
            };
            e.Reader<1>(0, row.who == Who::kReader ? act : nullptr);
            e.Event<1>(row.who == Who::kHandler ? act : nullptr);
            if (row.who == Who::kCloseThread) {
                e.onClose = act;
            }
            ASSERT_EQ(0, e.OpenConnect("127.0.0.1", {listener.Port()}, 0, 3));
            Peer service = listener.Accept();
            if (row.who == Who::kCloseThread) {
                service.Close(); // the receive thread ends by itself
            } else {
                service.Write(Frame(1));
            }
            ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
            mainStarted = true;
            int mainResult = 1;
            ReturnsWithin20s("the main thread's call", [&] { mainResult = CallOn(e, row.main); });
            ASSERT_TRUE(WaitUntil([&] { return engineResult != 1; }, 20000));
            for (int result : {mainResult, engineResult.load()}) {
                EXPECT_TRUE(result == 0 || result == ORR_ERR_STILL_CLOSING ||
                            result == ORR_ERR_INIT_OBJECT)
                    << result;
            }
            // Nothing is left half closed: a new connection can be made and used.
            ReturnsWithin20s("the next connect", [&] {
                EXPECT_EQ(0, e.OpenConnect("127.0.0.1", {listener.Port()}, 0, 3));
            });
            e.onClose = nullptr;
            ReturnsWithin20s("the destructor's stop", [&] { e.StopThreads(); });
        }
        EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baseline; }));
    }
}
