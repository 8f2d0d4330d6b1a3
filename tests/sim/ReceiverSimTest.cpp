// Tests of receiver-sim through its socket: the bytes it answers, the model behind them,
// its tolerance of broken input and its fault options.
#include "RawClient.h"
#include "SimProcess.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

namespace {

const std::string kPrefix = "RecvIPC";
constexpr int32_t kStartRefused = -6528302;
constexpr int32_t kStopFailed = -6528303;

std::string Zeros(std::size_t n) {
    return std::string(n, '\0');
}

// "00 0a ff" -> bytes.
std::string Hex(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) {
        out.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
    }
    return out;
}

std::string Frame(uint8_t code, const std::string& payload) {
    return kPrefix + static_cast<char>(code) + payload;
}

std::string Start(uint32_t id, uint8_t frame) {
    std::string p = Zeros(32);
    p[0] = static_cast<char>(id >> 24);
    p[1] = static_cast<char>(id >> 16);
    p[2] = static_cast<char>(id >> 8);
    p[3] = static_cast<char>(id);
    p[4] = static_cast<char>(frame);
    return Frame(0x12, p);
}

std::string Stop(uint32_t id) {
    std::string p = Start(id, 0).substr(8);
    return Frame(0x14, p);
}

std::string ListRequest(uint8_t code) {
    return Frame(code, '\x01' + Zeros(31));
}

std::string ResultAnswer(uint8_t code, int32_t result) {
    std::string p = Zeros(32);
    const uint32_t v = static_cast<uint32_t>(result);
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
    return Frame(code, p);
}

struct Entry {
    uint32_t id = 0;
    uint16_t playing = 0;
    uint8_t frame = 0;
};

uint32_t Be32(const std::string& b, std::size_t at) {
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
           (uint32_t(uint8_t(b[at + 2])) << 8) | uint32_t(uint8_t(b[at + 3]));
}

// Reads one list answer (basic or extended, as its header says); nullopt if malformed.
std::optional<std::vector<Entry>> ReadList(RawClient& c, uint8_t answerCode) {
    const std::string head = c.Recv(40);
    if (head.size() != 40 || head.substr(0, 7) != kPrefix || uint8_t(head[7]) != answerCode) {
        return std::nullopt;
    }
    const std::size_t count = (uint8_t(head[8]) << 8) | uint8_t(head[9]);
    const std::size_t size = head[10] != 0 ? 128 : 64;
    std::vector<Entry> out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string e = c.Recv(size);
        if (e.size() != size) {
            return std::nullopt;
        }
        Entry entry;
        entry.id = Be32(e, 0);
        entry.playing = static_cast<uint16_t>((uint8_t(e[56]) << 8) | uint8_t(e[57]));
        entry.frame = uint8_t(e[58]);
        out.push_back(entry);
    }
    return out;
}

// The frame each sender is shown in (0x80 when not shown), in list order, "id:frame ...";
// also checks that playing agrees with the frame.
std::string Frames(RawClient& c) {
    if (!c.Send(ListRequest(0x10))) {
        return "send failed";
    }
    auto list = ReadList(c, 0x11);
    if (!list) {
        return "bad list answer";
    }
    std::string out;
    for (const Entry& e : *list) {
        if ((e.playing == 1) != (e.frame != 0x80) || e.playing > 1) {
            return "playing " + std::to_string(e.playing) + " with frame " +
                   std::to_string(e.frame);
        }
        out += (out.empty() ? "" : " ") + std::to_string(e.id) + ":" +
               (e.frame == 0x80 ? std::string("-") : std::to_string(e.frame));
    }
    return out;
}

int32_t Result(RawClient& c, const std::string& request) {
    if (!c.Send(request)) {
        return 1;
    }
    const std::string a = c.Recv(40);
    if (a.size() != 40 || a.substr(0, 7) != kPrefix || uint8_t(a[7]) != uint8_t(request[7]) + 1 ||
        a.substr(12) != Zeros(28)) {
        return 2; // not a well-formed result answer
    }
    return static_cast<int32_t>(Be32(a, 8));
}

nlohmann::json ReadState(const SimProcess& sim) {
    std::ifstream in(sim.StateFilePath());
    return nlohmann::json::parse(in, nullptr, false);
}

std::string SixSenders() {
    std::string s = R"({"senders":[)";
    for (int id = 1; id <= 6; ++id) {
        s += (id > 1 ? "," : "") + std::string(R"({"id":)") + std::to_string(id) + "}";
    }
    return s + "]}";
}

class ReceiverSimTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (sim && sim->Port() != 0 && !stopped) {
            EXPECT_EQ(sim->Stop(SIGTERM), 0) << sim->Stderr();
        }
    }
    void Launch(const std::vector<std::string>& args) {
        ASSERT_TRUE(sim->Start(args)) << sim->Stderr();
    }
    std::unique_ptr<SimProcess> sim = std::make_unique<SimProcess>();
    bool stopped = false;
};

TEST_F(ReceiverSimTest, ListAnswersAreExactBytes) {
    const std::string name48(48, 'N');
    const std::string file = sim->WriteFile("senders.json", R"({"senders":[
        {"id":7,"ip":"10.0.0.5","name":"Alice","appType":1,"local":false,"valid":true,"frame":0},
        {"id":258,"ip":"1.2.3.4","name":"<b>x</b>&y","appType":770,"local":true,"frame":3},
        {"id":4294967295,"ip":"192.168.1.200","name":")" + name48 +
                                                                R"(","valid":false}]})");

    // Entries up to byte 58 are the same in both layouts. The address goes out as the
    // client decodes it on this little-endian host: dotted quad reversed.
    const std::string alice =
        Hex("00 00 00 07  05 00 00 0a") + "Alice" + Zeros(43) + Hex("00 00 80");
    const std::string tags =
        Hex("00 00 01 02  04 03 02 01") + "<b>x</b>&y" + Zeros(38) + Hex("00 01 03");
    const std::string big = Hex("ff ff ff ff  c8 01 a8 c0") + name48 + Hex("00 00 80");
    const std::string basicHeader = Hex("00 03 00") + Zeros(29);

    Launch({"--senders", file, "--basic"});
    RawClient c;
    ASSERT_TRUE(c.Connect(sim->Port()));
    ASSERT_TRUE(c.Send(ListRequest(0x10)));
    const std::string expectAll =
        Frame(0x11, basicHeader) + alice + Zeros(5) + tags + Zeros(5) + big + Zeros(5);
    EXPECT_EQ(c.Recv(expectAll.size()), expectAll);
    ASSERT_TRUE(c.Send(ListRequest(0x1A)));
    const std::string expectNonLocal =
        Frame(0x1B, Hex("00 02 00") + Zeros(29)) + alice + Zeros(5) + big + Zeros(5);
    EXPECT_EQ(c.Recv(expectNonLocal.size()), expectNonLocal);
    ASSERT_TRUE(c.Send(ListRequest(0x1C)));
    const std::string expectValid =
        Frame(0x1D, Hex("00 02 00") + Zeros(29)) + alice + Zeros(5) + tags + Zeros(5);
    EXPECT_EQ(c.Recv(expectValid.size()), expectValid);
    EXPECT_FALSE(c.Readable(50)) << "bytes beyond the answers";
    c.Close();
    ASSERT_EQ(sim->Stop(SIGTERM), 0);

    // Extended: flag set, 128-byte entries with extField1, appType, extField3 at 59/61/63.
    sim = std::make_unique<SimProcess>();
    const std::string file2 = sim->WriteFile("senders.json", R"({"senders":[
        {"id":7,"ip":"10.0.0.5","name":"Alice","appType":1},
        {"id":258,"ip":"1.2.3.4","name":"<b>x</b>&y","appType":770,"local":true,"frame":3}]})");
    Launch({"--senders", file2});
    ASSERT_TRUE(c.Connect(sim->Port()));
    ASSERT_TRUE(c.Send(ListRequest(0x10)));
    const std::string expectExt = Frame(0x11, Hex("00 02 01") + Zeros(29)) + alice +
                                  Hex("00 00 00 01 00 00") + Zeros(63) + tags +
                                  Hex("00 00 03 02 00 00") + Zeros(63);
    EXPECT_EQ(c.Recv(expectExt.size()), expectExt);
}

TEST_F(ReceiverSimTest, StartAndStopFollowTheFourFrameModel) {
    Launch({"--senders", sim->WriteFile("six.json", SixSenders())});
    RawClient c;
    ASSERT_TRUE(c.Connect(sim->Port()));
    EXPECT_EQ(Frames(c), "1:- 2:- 3:- 4:- 5:- 6:-");

    EXPECT_EQ(Result(c, Start(1, 2)), 0);
    EXPECT_EQ(Frames(c), "1:2 2:- 3:- 4:- 5:- 6:-");
    EXPECT_EQ(Result(c, Start(2, 2)), 0); // takes frame 2 over
    EXPECT_EQ(Frames(c), "1:- 2:2 3:- 4:- 5:- 6:-");
    EXPECT_EQ(Result(c, Start(2, 3)), 0); // moves, frame 2 is free again
    EXPECT_EQ(Frames(c), "1:- 2:3 3:- 4:- 5:- 6:-");

    // 0x80: first free frame, frame 1 when none is free; a shown sender stays put.
    EXPECT_EQ(Result(c, Start(3, 0x80)), 0);
    EXPECT_EQ(Result(c, Start(4, 0x80)), 0);
    EXPECT_EQ(Result(c, Start(5, 0x80)), 0);
    EXPECT_EQ(Frames(c), "1:- 2:3 3:1 4:2 5:4 6:-");
    EXPECT_EQ(Result(c, Start(6, 0x80)), 0);
    EXPECT_EQ(Frames(c), "1:- 2:3 3:- 4:2 5:4 6:1");
    EXPECT_EQ(Result(c, Start(5, 0x80)), 0);
    EXPECT_EQ(Frames(c), "1:- 2:3 3:- 4:2 5:4 6:1");

    EXPECT_EQ(Result(c, Stop(2)), 0);
    EXPECT_EQ(Result(c, Stop(2)), kStopFailed);      // no longer shown
    EXPECT_EQ(Result(c, Frame(0x18, Zeros(32))), 0); // empty answers read as result 0
    EXPECT_EQ(Result(c, Frame(0x16, Zeros(32))), 0);
    EXPECT_EQ(Result(c, Frame(0x16, Zeros(32))), 0);
    EXPECT_EQ(Frames(c), "1:- 2:- 3:- 4:2 5:4 6:1") << "leaving conference control keeps frames";

    const nlohmann::json state = ReadState(*sim);
    ASSERT_FALSE(state.is_discarded());
    EXPECT_EQ(state["frames"], nlohmann::json::parse(R"({"1":6,"2":4,"3":null,"4":5})"));
    EXPECT_EQ(state["senders"][5]["frame"], 1);
    EXPECT_EQ(state["senders"][1]["frame"], 0);
    EXPECT_EQ(state["quitConfCtrl"], 1);
    EXPECT_EQ(state["refreshConfCtrlTimer"], 2);
    EXPECT_EQ(state["commands"]["StartPlayImage"], 8);
    EXPECT_EQ(state["commands"]["StopPlayImage"], 2);
}

TEST_F(ReceiverSimTest, RefusedCommandsGetTheirErrorCodesAndChangeNothing) {
    Launch({"--senders", sim->WriteFile("six.json", SixSenders())});
    RawClient c;
    ASSERT_TRUE(c.Connect(sim->Port()));
    ASSERT_EQ(Result(c, Start(1, 4)), 0);

    ASSERT_TRUE(c.Send(Start(99, 1)));
    EXPECT_EQ(c.Recv(40), Frame(0x13, Hex("ff 9c 62 d2") + Zeros(28)));
    for (uint8_t frame : {0x00, 0x05, 0x7F, 0x81, 0xFF}) {
        EXPECT_EQ(Result(c, Start(2, frame)), kStartRefused) << "frame " << int(frame);
    }
    ASSERT_TRUE(c.Send(Stop(99)));
    EXPECT_EQ(c.Recv(40), Frame(0x15, Hex("ff 9c 62 d1") + Zeros(28)));
    EXPECT_EQ(Result(c, Stop(3)), kStopFailed);
    EXPECT_EQ(Frames(c), "1:4 2:- 3:- 4:- 5:- 6:-");
}

TEST_F(ReceiverSimTest, FindsRequestsInPiecesAndBehindJunk) {
    Launch({"--senders", sim->WriteFile("six.json", SixSenders())});
    RawClient c;
    ASSERT_TRUE(c.Connect(sim->Port()));
    const std::string request = Start(3, 2);
    // Junk that holds broken prefixes, an unknown code and a stray answer code, then the
    // request itself in three pieces, the first ending inside the prefix.
    const std::string junk =
        std::string("\x00\xffRRe", 5) + "RecvIP" + "RecvIPX" + kPrefix + "\x99" + kPrefix + "\x13";
    ASSERT_TRUE(c.Send(junk + request.substr(0, 4)));
    EXPECT_FALSE(c.Readable(30));
    ASSERT_TRUE(c.Send(request.substr(4, 10)));
    EXPECT_FALSE(c.Readable(30));
    ASSERT_TRUE(c.Send(request.substr(14)));
    EXPECT_EQ(c.Recv(40), ResultAnswer(0x13, 0));
    EXPECT_EQ(Frames(c), "1:- 2:- 3:2 4:- 5:- 6:-");

    // A long run of junk is dropped without holding it all, and the stream still works.
    std::string noise(200000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = "eRcv\xA5IPC"[i % 8];
    }
    ASSERT_TRUE(c.Send(noise + Stop(3)));
    EXPECT_EQ(c.Recv(40), ResultAnswer(0x15, 0));
    EXPECT_EQ(Frames(c), "1:- 2:- 3:- 4:- 5:- 6:-");

    // A client that vanishes mid-frame leaves the others unharmed.
    RawClient gone;
    ASSERT_TRUE(gone.Connect(sim->Port()));
    ASSERT_TRUE(gone.Send(Start(4, 1).substr(0, 20)));
    gone.Close();
    EXPECT_EQ(Frames(c), "1:- 2:- 3:- 4:- 5:- 6:-");
    EXPECT_EQ(Result(c, Start(4, 1)), 0);
}

TEST_F(ReceiverSimTest, ClientsShareOneState) {
    Launch({"--senders", sim->WriteFile("six.json", SixSenders())});
    RawClient a;
    RawClient b;
    ASSERT_TRUE(a.Connect(sim->Port()));
    ASSERT_TRUE(b.Connect(sim->Port()));
    // a's request is still incomplete while b's runs; each connection keeps its own bytes.
    const std::string request = Start(1, 1);
    ASSERT_TRUE(a.Send(request.substr(0, 25)));
    EXPECT_EQ(Result(b, Start(2, 1)), 0);
    ASSERT_TRUE(a.Send(request.substr(25)));
    EXPECT_EQ(a.Recv(40), ResultAnswer(0x13, 0));
    EXPECT_EQ(Frames(b), "1:1 2:- 3:- 4:- 5:- 6:-");
    EXPECT_EQ(Result(b, Start(2, 1)), 0);
    EXPECT_EQ(Frames(a), "1:- 2:1 3:- 4:- 5:- 6:-");

    // Dozens of connections at once, each with requests in flight before any answer is read.
    std::vector<std::unique_ptr<RawClient>> many;
    for (int i = 0; i < 40; ++i) {
        many.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(many.back()->Connect(sim->Port()));
        ASSERT_TRUE(many.back()->Send(Start(3 + i % 4, static_cast<uint8_t>(1 + i % 4)) +
                                      ListRequest(0x1A)));
    }
    for (auto& client : many) {
        EXPECT_EQ(client->Recv(40), ResultAnswer(0x13, 0));
        auto list = ReadList(*client, 0x1B);
        ASSERT_TRUE(list.has_value());
        EXPECT_EQ(list->size(), 6u);
    }
    // Each start puts sender 3+k into frame 1+k, whatever the order; sender 2 lost frame 1.
    EXPECT_EQ(Frames(a), "1:- 2:- 3:1 4:2 5:3 6:4");
}

TEST_F(ReceiverSimTest, JunkUnsolicitedAndChunkedAnswers) {
    Launch({"--senders", sim->WriteFile("six.json", SixSenders()), "--junk", "13", "--unsolicited",
            "--chunk", "7", "--fault-codes", "0x12,22"});
    RawClient c;
    ASSERT_TRUE(c.Connect(sim->Port()));
    ASSERT_TRUE(c.Send(Start(1, 1)));
    const std::string got = c.Recv(13 + 16 + 40);
    ASSERT_EQ(got.size(), 13u + 16u + 40u);
    EXPECT_EQ(got.substr(0, 13).find('R'), std::string::npos) << "junk could start a prefix";
    EXPECT_EQ(got.substr(13, 8), kPrefix + "\x42");
    EXPECT_EQ(got.substr(29), ResultAnswer(0x13, 0));

    // 22 = 0x16 is listed too; a list request is not, so its answer comes clean.
    ASSERT_TRUE(c.Send(Frame(0x16, Zeros(32))));
    EXPECT_EQ(c.Recv(13 + 16 + 40).substr(29), Frame(0x17, Zeros(32)));
    EXPECT_EQ(Frames(c), "1:1 2:- 3:- 4:- 5:- 6:-");
}

TEST_F(ReceiverSimTest, SilentAndCloseMidRequestsStillTakeEffect) {
    Launch({"--senders", sim->WriteFile("six.json", SixSenders()), "--silent", "0x12",
            "--close-mid", "20"});
    RawClient c;
    ASSERT_TRUE(c.Connect(sim->Port()));
    ASSERT_TRUE(c.Send(Start(1, 3)));
    // No answer to the start; the next answer on the wire is the list, showing the change.
    EXPECT_EQ(Frames(c), "1:3 2:- 3:- 4:- 5:- 6:-");

    ASSERT_TRUE(c.Send(Stop(1) + ListRequest(0x10)));
    EXPECT_EQ(c.Recv(40), ResultAnswer(0x15, 0).substr(0, 20));
    EXPECT_TRUE(c.SeesEof()) << "the connection should end after half an answer";

    RawClient d;
    ASSERT_TRUE(d.Connect(sim->Port()));
    EXPECT_EQ(Frames(d), "1:- 2:- 3:- 4:- 5:- 6:-");
    EXPECT_EQ(ReadState(*sim)["commands"]["StartPlayImage"], 1);
}

TEST_F(ReceiverSimTest, DelayedAnswerDoesNotHoldUpOtherClients) {
    Launch({"--delay", "1500", "--fault-codes", "0x10"});
    RawClient slow;
    RawClient fast;
    ASSERT_TRUE(slow.Connect(sim->Port()));
    ASSERT_TRUE(fast.Connect(sim->Port()));
    ASSERT_TRUE(slow.Send(ListRequest(0x10)));
    ASSERT_TRUE(fast.Send(ListRequest(0x1A)));
    ASSERT_TRUE(ReadList(fast, 0x1B).has_value());
    EXPECT_FALSE(slow.Readable()) << "the delayed answer came before the undelayed one";
    auto list = ReadList(slow, 0x11);
    ASSERT_TRUE(list.has_value());
    EXPECT_FALSE(list->empty()) << "the built-in sample has senders";
}

TEST_F(ReceiverSimTest, NoAcceptLeavesConnectsHanging) {
    Launch({"--no-accept"});
    RawClient c;
    EXPECT_FALSE(c.ConnectCompletes(sim->Port(), 300));
    stopped = true;
    EXPECT_EQ(sim->Stop(SIGINT), 0) << sim->Stderr();
}

TEST_F(ReceiverSimTest, BadStartUpIsAnOrderlyError) {
    struct Case {
        const char* json;
        const char* mentions;
    };
    const Case cases[] = {
        {R"({"senders":[{"id":1},)", "not valid JSON"},
        {R"([{"id":1}])", "\"senders\" array"},
        {R"({"senders":[{"id":-1}]})", "\"id\""},
        {R"({"senders":[{"id":1,"ip":"10.0.0"}]})", "\"ip\""},
        {R"({"senders":[{"id":1,"frame":5}]})", "\"frame\""},
        {R"({"senders":[{"id":1,"frame":2},{"id":2,"frame":2}]})", "frame 2"},
        {R"({"senders":[{"id":1},{"id":1}]})", "duplicate id 1"},
        {R"({"senders":[{"id":1,"nmae":"x"}]})", "unknown field \"nmae\""},
        {R"({"senders":[{"name":"0123456789012345678901234567890123456789012345678"}]})",
         "48 bytes"},
    };
    for (const Case& c : cases) {
        SimProcess run;
        const std::string file = run.WriteFile("bad.json", c.json);
        const SimProcess::Result r = run.RunToEnd({"--port", "0", "--senders", file});
        EXPECT_EQ(r.exitCode, 2) << c.json;
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << c.json << "\n" << r.err;
    }
    SimProcess run;
    EXPECT_EQ(run.RunToEnd({"--senders", "/nonexistent/senders.json"}).exitCode, 2);
    EXPECT_EQ(run.RunToEnd({"--silent", "0x1G"}).exitCode, 2);
    EXPECT_EQ(run.RunToEnd({"--port", "65536"}).exitCode, 2);
    EXPECT_EQ(run.RunToEnd({"--bogus"}).exitCode, 2);
    const SimProcess::Result help = run.RunToEnd({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--close-mid"), std::string::npos);
}

} // namespace
