// Seeded stress of the protocol engine against a peer that mixes valid answers with junk,
// stray prefix pieces, unsolicited frames, events, silence, late answers and early
// closes. The engine must never crash or hang, must return from every request within
// generous bounds, must take only the right answer for a request, must hand events on in
// order, and must leave no descriptor or thread behind.
//
// The seed (ROBUSTNESS_SEED, default fixed) and the number of rounds (ROBUSTNESS_ROUNDS,
// default smaller under the sanitizers) can be set from the environment; both are printed.
#include "StressEngine.h"
#include "StressPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

#ifdef ROBUSTNESS_SANITIZED
constexpr unsigned kDefaultRounds = 12;
#else
constexpr unsigned kDefaultRounds = 24;
#endif
constexpr unsigned kDefaultSeed = 20261205;
constexpr unsigned kStepsPerRound = 8;
// Hang detectors only: a 1-second request must be back long before this.
constexpr auto kRequestBound = std::chrono::seconds(8);
constexpr auto kRoundBound = std::chrono::seconds(90);

unsigned EnvOr(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? unsigned(std::strtoul(text, nullptr, 10)) : fallback;
}

size_t CountEntries(const char* dir) {
    size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (const dirent* e = ::readdir(d)) {
            n += e->d_name[0] != '.';
        }
        ::closedir(d);
    }
    return n;
}

// Threads may stay listed for a moment after their join returned.
size_t SettledTaskCount(size_t target) {
    size_t n = CountEntries("/proc/self/task");
    for (int i = 0; i < 200 && n > target; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = CountEntries("/proc/self/task");
    }
    return n;
}

// Aborts the whole test run when a round takes far longer than it possibly could: a
// deadlock would otherwise only show as a test time-out without saying where.
class Watchdog {
public:
    Watchdog(unsigned round, unsigned seed)
        : m_thread([this, round, seed] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_cond.wait_for(lock, kRoundBound, [this] { return m_done; })) {
                  std::fprintf(stderr, "round %u (seed %u) hangs\n", round, seed);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_done = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_done = false;
    std::thread m_thread;
};

std::vector<StressPeer::Step> MakeScript(std::mt19937& rng, uint32_t& seq) {
    std::vector<StressPeer::Step> steps;
    for (unsigned i = 0; i < kStepsPerRound; ++i) {
        StressPeer::Step step;
        const unsigned pick = rng() % 100;
        // Time-outs cost a second each, so they are kept rare.
        step.action = pick < 84   ? StressPeer::Action::Answer
                      : pick < 87 ? StressPeer::Action::Silent
                      : pick < 89 ? StressPeer::Action::JunkOnly
                      : pick < 92 ? StressPeer::Action::Late
                      : pick < 96 ? StressPeer::Action::CloseMid
                                  : StressPeer::Action::CloseNow;
        step.seq = ++seq;
        // Consecutive requests wait for different codes, so a late answer can never be
        // mistaken for the answer to the next request.
        step.requestCode = (step.seq % 2) ? StressEngine::kRequestA : StressEngine::kRequestB;
        step.seed = uint32_t(rng());
        steps.push_back(step);
        if (step.action == StressPeer::Action::CloseMid ||
            step.action == StressPeer::Action::CloseNow) {
            break;
        }
    }
    return steps;
}

TEST(EngineStress, SurvivesAMisbehavingPeer) {
    const unsigned seed = EnvOr("ROBUSTNESS_SEED", kDefaultSeed);
    const unsigned rounds = EnvOr("ROBUSTNESS_ROUNDS", kDefaultRounds);
    std::printf("engine stress: seed %u, %u rounds of up to %u requests\n", seed, rounds,
                kStepsPerRound);
    RecordProperty("seed", int(seed));

    // Some runtimes (ThreadSanitizer) add a helper thread of their own with the first
    // thread created; let that happen before the count.
    std::thread([] {}).join();
    const size_t fdsBefore = CountEntries("/proc/self/fd");
    const size_t tasksBefore = CountEntries("/proc/self/task");
    std::mt19937 rng(seed);
    uint32_t seq = 0;
    unsigned answered = 0, answeredOk = 0, timedOut = 0, closedEarly = 0, events = 0;
    unsigned clientCloseRounds = 0;
    {
        StressPeer peer;
        const std::vector<uint16_t> ports{peer.Port()};
        for (unsigned round = 0; round < rounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
            Watchdog watchdog(round, seed);
            const std::vector<StressPeer::Step> steps = MakeScript(rng, seq);
            // In some rounds the client side closes the connection while requests run.
            const bool clientCloses = rng() % 4 == 0;
            const unsigned closeAfterMs = rng() % 400;
            peer.Play(steps, clientCloses);
            {
                StressEngine engine;
                ASSERT_EQ(engine.OpenConnect("127.0.0.1", ports, 0, 5), 0);
                std::thread closer;
                if (clientCloses) {
                    ++clientCloseRounds;
                    closer = std::thread([&engine, closeAfterMs] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(closeAfterMs));
                        engine.CloseConnect();
                    });
                }
                for (const StressPeer::Step& step : steps) {
                    if (!engine.IsConnected()) {
                        break; // closed by the peer or by the closer
                    }
                    const auto start = std::chrono::steady_clock::now();
                    const int result = engine.Request(step.requestCode, step.seq);
                    if (std::chrono::steady_clock::now() - start >= kRequestBound) {
                        // Not ASSERT: the closer thread must still be joined below.
                        ADD_FAILURE() << "request " << step.seq << " did not come back in time";
                        break;
                    }
                    if (result == 0) {
                        // Only ever the answer to this request, never a late or stray one.
                        EXPECT_EQ(engine.AnswerSeq(), step.seq);
                    }
                    if (clientCloses) {
                        continue; // any request may have been cut short
                    }
                    switch (step.action) {
                    case StressPeer::Action::Answer:
                        ++answered;
                        answeredOk += result == 0;
                        // Junk around an answer must not turn into another kind of failure.
                        EXPECT_TRUE(result == 0 || result == ORR_ERR_NO_RESPONSE)
                            << "request " << step.seq << " gave " << result;
                        break;
                    case StressPeer::Action::Silent:
                    case StressPeer::Action::JunkOnly:
                    case StressPeer::Action::Late:
                        ++timedOut;
                        EXPECT_EQ(result, ORR_ERR_NO_RESPONSE) << "request " << step.seq;
                        break;
                    case StressPeer::Action::CloseMid:
                    case StressPeer::Action::CloseNow:
                        ++closedEarly;
                        EXPECT_LT(result, 0) << "request " << step.seq;
                        break;
                    }
                }
                if (closer.joinable()) {
                    closer.join();
                }
                EXPECT_EQ(engine.EventsOutOfOrder(), 0u);
                EXPECT_EQ(engine.AnswersWithoutRequest(), 0u);
                events += engine.EventsHandled();
                // The engine is destroyed here, often while the peer still floods it.
            }
            for (const std::string& problem : peer.Finish()) {
                ADD_FAILURE() << "peer: " << problem;
            }
        }
    }
    std::printf("engine stress: %u answered (%u in time), %u timed out, %u closed early by "
                "the peer, %u rounds closed by the client, %u events handled\n",
                answered, answeredOk, timedOut, closedEarly, clientCloseRounds, events);
    // Answers come within milliseconds; most must have made their 1-second time-out.
    EXPECT_GE(answeredOk * 2, answered);

    EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
    EXPECT_EQ(SettledTaskCount(tasksBefore), tasksBefore);
}

} // namespace
