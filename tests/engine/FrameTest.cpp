// Frames: the scanner's decisions from byte windows alone, the exact bytes of outgoing
// frames, and whole exchanges through the receive thread (what readers, handlers and
// hooks got for the bytes a peer sent).
#include "FrameScanner.h"
#include "Peer.h"
#include "TestEngine.h"
#include "Wire.h"

#include <gtest/gtest.h>

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
    int pauseMs;
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
        {"a frame in pieces", "RecvIPC", ReadersFor1And5, {"Rec", "vIPC\x01" "ab", "cd"}, 30,
         {{1, "abcd"}}, {{1, "abcd"}}, 2},
        {"a prefix short of the read budget", "RecvIPC", ReadersFor1And5,
         {"Recv", "IPC\x01" "abcd"}, 5200, {{1, "abcd"}}, {{1, "abcd"}}, 2},
        {"bytes in front of a prefix", "RecvIPC", ReadersFor1And5, {"xyR" + one}, 0,
         {{1, "abcd"}}, {{1, "abcd"}}, 2},
        {"events in order", "RecvIPC", ReadersFor1And5,
         {Frame(5, "p1") + one + Frame(5, "p2")}, 0,
         {{5, "p1"}, {1, "abcd"}, {5, "p2"}}, {{5, "p1"}, {1, "abcd"}, {5, "p2"}}, 4},
        {"an exceptional event's payload goes through the search", "RecvIPC", ReadersFor1And5,
         {Frame(0x42, "RecvIP") + one}, 0, {{1, "abcd"}}, {{1, "abcd"}}, 3},
        {"a default reader reads nothing", "RecvIPC",
         [](TestEngine& e) { ReadersFor1And5(e); e.Event<3>(); },
         {Frame(3) + one}, 0, {{1, "abcd"}}, {{3, ""}, {1, "abcd"}}, 3},
        {"a custom prefix frame goes to the hook", "RecvIPC", withCustom(2), {"CustIPCzz" + one}, 0,
         {{-1, "zz"}, {1, "abcd"}}, {{1, "abcd"}}, 3},
        {"the default custom hook reads nothing", "RecvIPC", withCustom(0), {"CustIPC" + one}, 0,
         {{-1, ""}, {1, "abcd"}}, {{1, "abcd"}}, 3},
        {"without a prefix a frame starts with its code", "", ReadersFor1And5,
         {"\x01" "abcd" "\x05" "p1"}, 0, {{1, "abcd"}, {5, "p1"}}, {{1, "abcd"}, {5, "p1"}}, 3},
        {"code 0 is an answer while none is awaited", "RecvIPC",
         [](TestEngine& e) { ReadersFor1And5(e); e.Reader<0>(2); },
         {Frame(0, "zz") + one}, 0, {{0, "zz"}, {1, "abcd"}}, {{1, "abcd"}}, 3},
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
