// Benchmark of the engine's hot path in this product: the CGI program is started once per
// HTTP request, so constructing the engine, connecting, two 32-byte requests with their
// answers and destroying the engine happen on every request.
//
//   BM_EngineCycle  ProtocolBase subclass: construct, OpenConnect, 2 x RequestCommand,
//                   destroy (threads started and stopped every cycle).
//   BM_PlainCycle   the same bytes over a plain blocking socket with no threads.
//
// Both talk to the same fake peer thread on an ephemeral loopback port (the tests' Listener
// and Peer, tests/support), which answers each 40-byte request frame with a 40-byte answer
// frame. After the runs the ratio of the two real times is printed (target: at most 3);
// with --benchmark_repetitions=N it uses the medians. Typical use:
//   engine_cycle_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "Peer.h"
#include "ProtocolBase.h"
#include "Wire.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>

namespace {

const char kPrefix[] = "RecvIPC";
const uint8_t kReq = 0x1A;
const uint8_t kAns = 0x1B;
const size_t kPayload = 32;
const size_t kFrame = 7 + 1 + kPayload;

// Blocks until n bytes came (false when the stream ends first), as a simple client reads.
bool ReadAll(int fd, char* buf, size_t n) {
    for (size_t off = 0; off < n;) {
        const ssize_t r = ::recv(fd, buf + off, n - off, 0);
        if (r <= 0) {
            return false;
        }
        off += size_t(r);
    }
    return true;
}

void NoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// The fake receiver service: one connection at a time, one answer per request frame.
class FakePeer {
public:
    FakePeer() : m_thread([this] { Serve(); }) {}
    ~FakePeer() {
        m_stop = true; // seen within one accept wait
        m_thread.join();
    }
    uint16_t Port() const { return m_listener.Port(); }

private:
    void Serve() {
        const std::string answer = wire::Frame(kAns, std::string(kPayload, 'A'));
        while (!m_stop) {
            peer::Peer client = m_listener.Accept(100);
            if (client.Fd() < 0) {
                continue;
            }
            NoDelay(client.Fd());
            while (client.Read(kFrame).size() == kFrame) {
                client.Write(answer);
            }
        }
    }

    peer::Listener m_listener{64};
    std::atomic<bool> m_stop{false};
    std::thread m_thread; // last: starts once the listener is there
};

FakePeer& Peer() {
    static FakePeer peer;
    return peer;
}

// The engine as the receiver stub uses it: prefix "RecvIPC", a payload reader for the
// answer code that reads its 32 bytes straight from the socket.
class BenchEngine : public ProtocolBase {
public:
    BenchEngine() {
        SetCmdPrefix(kPrefix, 7);
        m_ReadHandlers[kAns] = static_cast<ReadHandler>(&BenchEngine::ReadAnswer);
    }
    ~BenchEngine() override { StopThreads(); }
    char answer[kPayload];

private:
    int ReadAnswer(std::string& payload) {
        payload.clear();
        return m_Socket.Recv(answer, kPayload, 0);
    }
};

void BM_EngineCycle(benchmark::State& state) {
    const std::vector<uint16_t> ports{Peer().Port()};
    const std::string payload(kPayload, 'q');
    for (auto _ : state) {
        BenchEngine engine;
        if (engine.OpenConnect("127.0.0.1", ports, 0, 3) != 0 ||
            engine.RequestCommand(kReq, kAns, "Bench", payload, true, 10) != 0 ||
            engine.RequestCommand(kReq, kAns, "Bench", payload, true, 10) != 0) {
            state.SkipWithError("engine exchange failed");
            break;
        }
        benchmark::DoNotOptimize(engine.answer[0]);
    }
}

void BM_PlainCycle(benchmark::State& state) {
    const std::string frame = wire::Frame(kReq, std::string(kPayload, 'q'));
    char answer[kFrame];
    for (auto _ : state) {
        peer::Peer client = peer::ConnectTo(Peer().Port());
        NoDelay(client.Fd());
        bool ok = client.Fd() >= 0;
        for (int i = 0; ok && i < 2; ++i) {
            client.Write(frame);
            ok = ReadAll(client.Fd(), answer, kFrame);
        }
        client.Close();
        if (!ok) {
            state.SkipWithError("plain exchange failed");
            break;
        }
        benchmark::DoNotOptimize(answer[0]);
    }
}

BENCHMARK(BM_PlainCycle)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineCycle)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Console output as usual, plus the real time per iteration of each run for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred || r.iterations <= 0) {
                continue;
            }
            const double us = r.real_accumulated_time / static_cast<double>(r.iterations) * 1e6;
            const std::string& name = r.run_name.function_name;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                m_medianUs[name] = us; // with --benchmark_repetitions: the median wins
            } else if (r.run_type == Run::RT_Iteration) {
                m_realUs[name] = us;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatio() {
        for (const auto& m : m_medianUs) {
            m_realUs[m.first] = m.second;
        }
        auto e = m_realUs.find("BM_EngineCycle");
        auto p = m_realUs.find("BM_PlainCycle");
        if (e == m_realUs.end() || p == m_realUs.end() || p->second <= 0) {
            return;
        }
        std::printf("engine cycle %.1f us, plain cycle %.1f us, ratio %.2f (target <= 3)\n",
                    e->second, p->second, e->second / p->second);
    }

private:
    std::map<std::string, double> m_realUs;
    std::map<std::string, double> m_medianUs;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Peer(); // start the fake peer before any run
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio();
    benchmark::Shutdown();
    return 0;
}
