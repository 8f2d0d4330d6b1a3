// Frames: the scanner's decisions from byte windows alone, the exact bytes of outgoing
// frames, and whole exchanges through the receive thread (what readers, handlers and
// hooks got for the bytes a peer sent).
#include "FrameScanner.h"
#include "Peer.h"
#include "TestEngine.h"
#include "Wire.h"

#include <gtest/gtest.h>

using lyx::FrameScanner;

using namespace peer;
using wire::Frame;
using wire::Zeros;
using Step = FrameScanner::Step;

TEST(FrameScanner, DecidesFromThePeekedWindow) {
    const std::string cmd = "RecvIPC", cust = "CustIPC", none, shortCust = "Cust";
    struct Row {
        const std::string& prefix;
        const std::string& custom;
        std::string window;
        Step expected;
    } rows[] = {
        {cmd, none, "RecvIPC", Step::kFrame},
        {cmd, none, "RecvIP", Step::kNeedMore},
        {cmd, none, "", Step::kNeedMore},
        {cmd, none, "xRecvIP", Step::kSkipByte},
        {cmd, none, "recvIPC", Step::kSkipByte},
        {cmd, none, "RecvIPc", Step::kSkipByte},
        {cmd, cust, "CustIPC", Step::kCustomFrame},
        {cmd, none, std::string(7, '\0'), Step::kSkipByte}, // an empty custom never matches
        {cmd, shortCust, "CustIPC", Step::kSkipByte},
        {cmd, cmd, "RecvIPC", Step::kFrame}, // both the same: a command frame
        {none, cust, "", Step::kFrame},      // no prefix: every frame starts with its code
    };
    for (const Row& r : rows) {
        const FrameScanner scanner(r.prefix, r.custom, r.prefix.size());
        EXPECT_EQ(scanner.Scan(r.window.data(), r.window.size()), r.expected)
            << r.prefix << " / " << r.custom << " / " << r.window;
    }
}

TEST(Frames, OutgoingFramesAreWholeAndExact) {
    TestEngine e;
    auto pair = SocketPair();
    ASSERT_EQ(0, e.InitSocket(pair.first, 0));
    const std::string payload = "\x01" + Zeros(30) + "\xFF";

    // With no time to wait, the request is sent and nothing is awaited.
    EXPECT_EQ(0, e.RequestCommand(0x18, 0x19, "QuitConfCtrl", payload, true, 0));
    EXPECT_EQ(pair.second.Read(40), Frame(0x18, payload));
    EXPECT_EQ(0, e.m_AnsCode);
    EXPECT_EQ(11, e.AckCommand(0x21, "Ack", "xyz"));
    EXPECT_EQ(pair.second.Read(11), Frame(0x21, "xyz"));
    EXPECT_EQ(8, e.AckCommand(0x22, "Ack", "")); // shorter than the frame before: no stale tail
    EXPECT_EQ(pair.second.Read(8), Frame(0x22));
    EXPECT_EQ(11, e.SendCommandData("\x05"
                                    "abc",
                                    4, 0, true));
    EXPECT_EQ(pair.second.Read(11), "RecvIPC\x05"
                                    "abc");
    e.SetCmdPrefix("AB", 2);
    EXPECT_EQ(4, e.AckCommand(0x01, "Ack", "x"));
    EXPECT_EQ(pair.second.Read(4), "AB\x01x");
    EXPECT_EQ(pair.second.Read(1, 50), ""); // nothing more went out
}

namespace {

constexpr uint8_t kEnd = 0x7F; // an event sent last: once it is handled, all is read

struct Exchange {
    const char* name;
    std::string prefix;
    std::function<void(TestEngine&)> setup;
    std::vector<std::string> pieces; // sent one after the other, pauseMs apart
    int pauseMs = 0;
    std::vector<std::pair<int, std::string>> reads;  // (code, bytes); -1: custom hook
    std::vector<std::pair<int, std::string>> events; // (code, payload) in order
    int frames;                                      // OnFrameBegin calls, the last one included
};

void ReadersFor1And5(TestEngine& e) {
    e.Reader<1>(4);
    e.Event<1>();
    e.Reader<5>(2);
    e.Event<5>();
    e.Reader<0x42>(6); // a reader but no handler: never run
}

} // namespace

TEST(Frames, ReceiveThreadCutsTheStreamIntoFrames) {
    const std::string one = Frame(1, "abcd");
    auto withCustom = [](int readSize) {
        return [readSize](TestEngine& e) {
            ReadersFor1And5(e);
            e.SetCustCmdPrefix("CustIPCX"); // cut to the prefix length
            e.custReadSize = readSize;
        };
    };
    // clang-format off
    const Exchange rows[] = {
        {.name = "a frame in pieces", .prefix = "RecvIPC", .setup = ReadersFor1And5,
         .pieces = {"Rec", "vIPC\x01" "ab", "cd"}, .pauseMs = 30,
         .reads = {{1, "abcd"}}, .events = {{1, "abcd"}}, .frames = 2},
        {.name = "a prefix short of the read budget", .prefix = "RecvIPC", .setup = ReadersFor1And5,
         .pieces = {"Recv", "IPC\x01" "abcd"}, .pauseMs = 5200,
         .reads = {{1, "abcd"}}, .events = {{1, "abcd"}}, .frames = 2},
        {.name = "bytes in front of a prefix", .prefix = "RecvIPC", .setup = ReadersFor1And5,
         .pieces = {"xyR" + one},
         .reads = {{1, "abcd"}}, .events = {{1, "abcd"}}, .frames = 2},
        {.name = "events in order", .prefix = "RecvIPC", .setup = ReadersFor1And5,
         .pieces = {Frame(5, "p1") + one + Frame(5, "p2")},
         .reads = {{5, "p1"}, {1, "abcd"}, {5, "p2"}},
         .events = {{5, "p1"}, {1, "abcd"}, {5, "p2"}}, .frames = 4},
        {.name = "an exceptional event's payload goes through the search", .prefix = "RecvIPC",
         .setup = ReadersFor1And5, .pieces = {Frame(0x42, "RecvIP") + one},
         .reads = {{1, "abcd"}}, .events = {{1, "abcd"}}, .frames = 3},
        {.name = "a default reader reads nothing", .prefix = "RecvIPC",
         .setup = [](TestEngine& e) { ReadersFor1And5(e); e.Event<3>(); },
         .pieces = {Frame(3) + one},
         .reads = {{1, "abcd"}}, .events = {{3, ""}, {1, "abcd"}}, .frames = 3},
        {.name = "a custom prefix frame goes to the hook", .prefix = "RecvIPC",
         .setup = withCustom(2), .pieces = {"CustIPCzz" + one},
         .reads = {{-1, "zz"}, {1, "abcd"}}, .events = {{1, "abcd"}}, .frames = 3},
        {.name = "the default custom hook reads nothing", .prefix = "RecvIPC",
         .setup = withCustom(0), .pieces = {"CustIPC" + one},
         .reads = {{-1, ""}, {1, "abcd"}}, .events = {{1, "abcd"}}, .frames = 3},
        {.name = "without a prefix a frame starts with its code", .prefix = "",
         .setup = ReadersFor1And5, .pieces = {"\x01" "abcd" "\x05" "p1"},
         .reads = {{1, "abcd"}, {5, "p1"}}, .events = {{1, "abcd"}, {5, "p1"}}, .frames = 3},
        {.name = "code 0 is an answer while none is awaited", .prefix = "RecvIPC",
         .setup = [](TestEngine& e) { ReadersFor1And5(e); e.Reader<0>(2); },
         .pieces = {Frame(0, "zz") + one},
         .reads = {{0, "zz"}, {1, "abcd"}}, .events = {{1, "abcd"}}, .frames = 3},
    };
    // clang-format on
    for (const Exchange& row : rows) {
        SCOPED_TRACE(row.name);
        TestEngine e(row.prefix);
        row.setup(e);
        e.Event<kEnd>();
        auto pair = SocketPair();
        ASSERT_EQ(0, e.InitSocket(pair.first, 0));
        for (const std::string& piece : row.pieces) {
            pair.second.Write(piece);
            SleepMs(row.pauseMs);
        }
        pair.second.Write(Frame(kEnd, "", row.prefix));
        ASSERT_TRUE(
            WaitUntil([&] { return !e.Handled().empty() && e.Handled().back().first == kEnd; }));

        std::vector<std::pair<int, std::string>> reads;
        for (const TestEngine::Read& r : e.Reads()) {
            reads.emplace_back(r.code, r.bytes);
        }
        EXPECT_EQ(reads, row.reads);
        std::vector<std::pair<int, std::string>> events = row.events;
        events.emplace_back(kEnd, "");
        std::vector<std::pair<int, std::string>> seen;
        const std::vector<std::string> payloads = e.Events();
        for (size_t i = 0; i < e.Handled().size() && i < payloads.size(); ++i) {
            EXPECT_EQ(e.Handled()[i].second, e.Handled()[i].first + 100); // the handler's result
            seen.emplace_back(e.Handled()[i].first, payloads[i]);
        }
        EXPECT_EQ(seen, events);
        EXPECT_EQ(e.frameBegins, row.frames);
        EXPECT_EQ(0, e.GetErrorCode());
    }
}
