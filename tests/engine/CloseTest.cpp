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

namespace {

enum Who { kReader, kHandler, kCloseThread };

// Runs fn on a thread of its own. A call that deadlocks can never be freed, so one that
// has not returned within 20 s ends the test program.
void ReturnsWithin20s(const std::function<void()>& fn) {
    std::packaged_task<void()> task(fn);
    std::future<void> done = task.get_future();
    std::thread t(std::move(task));
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fputs("a close or connect did not return\n", stderr);
        std::_Exit(1);
    }
    t.join();
}

} // namespace

TEST(Lifecycle, ClosingFromAnyThreadWhileTheMainThreadClosesReturns) {
    struct Row {
        Who who;
        bool engineReconnects, mainReconnects; // else CloseConnect
    };
    const Row rows[] = {{kReader, false, false},      {kReader, true, true},
                        {kHandler, false, true},      {kHandler, true, false},
                        {kCloseThread, false, false}, {kCloseThread, true, true}};
    const int baseline = CountThreads();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.who << row.engineReconnects << row.mainReconnects);
        {
            Listener listener; // a row's own: the connects of the last one are still queued
            TestEngine e;
            auto call = [&e](bool reconnect) {
                return reconnect ? e.ReConnect() : (e.CloseConnect(), 0);
            };
            // The latch: the engine thread's call comes while the main thread's call is under
            // way (its stop raised, and then, mostly, a join begun).
            std::atomic<bool> inside{false}, mainStarted{false};
            std::atomic<int> engineResult{1};
            const std::function<void()> act = [&] {
                inside = true;
                WaitUntil([&] { return mainStarted && !e.m_bRunning; });
                SleepMs(50);
                engineResult = call(row.engineReconnects);
            };
            e.Reader<1>(0, row.who == kReader ? act : nullptr);
            e.Event<1>(row.who == kHandler ? act : nullptr);
            e.onClose = row.who == kCloseThread ? act : nullptr;
            ASSERT_EQ(0, e.OpenConnect("127.0.0.1", {listener.Port()}, 0, 3));
            Peer service = listener.Accept();
            row.who == kCloseThread ? service.Close() : service.Write(wire::Frame(1));
            ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
            mainStarted = true;
            int mainResult = 1;
            ReturnsWithin20s([&] { mainResult = call(row.mainReconnects); });
            ASSERT_TRUE(WaitUntil([&] { return engineResult != 1; }, 20000));
            for (int result : {mainResult, engineResult.load()}) {
                EXPECT_TRUE(result == 0 || result == ORR_ERR_STILL_CLOSING ||
                            result == ORR_ERR_INIT_OBJECT)
                    << result;
            }
            // Nothing is left half closed: a new connection can be made, and the engine stops.
            ReturnsWithin20s(
                [&] { EXPECT_EQ(0, e.OpenConnect("127.0.0.1", {listener.Port()}, 0, 3)); });
            e.onClose = nullptr;
            ReturnsWithin20s([&] { e.StopThreads(); });
        }
        EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baseline; }));
    }
}
