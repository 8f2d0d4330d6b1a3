// The receiver stub against a scripted service on the other end of a socket pair: the
// bytes of every request, the decoding of its answer, and how a broken answer ends.
#include "ScreenReceiverStub.h"
#include "Peer.h"
#include "Wire.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <future>
#include <gtest/gtest.h>

using namespace wire;

namespace {

// Every field of every record, "id ip name playing frame ext1 appType ext3;" each.
std::string Describe(const std::vector<SenderRecord>& list) {
    std::string text;
    for (const SenderRecord& r : list) {
        char fields[64];
        std::snprintf(fields, sizeof fields, " %u %u %u %u %u;", r.playing(), r.frameNo(),
                      r.extField1(), r.appType(), r.extField3());
        text += std::to_string(r.id()) + " " + std::to_string(r.ipAddress()) + " " + r.userName() +
                fields;
    }
    return text;
}

// A list answer whose header carries `flag`: 0 for basic entries, any other value for
// extended ones.
std::string List(uint8_t code, const std::vector<EntryFields>& entries, uint8_t flag) {
    std::string answer = Frame(code, ListHeader(uint16_t(entries.size()), flag));
    for (const EntryFields& e : entries) {
        answer += Entry(e, flag != 0);
    }
    return answer;
}

// A stub connected to the test's end of a socket pair.
struct Connected {
    Connected() {
        auto pair = peer::SocketPair();
        stub.InitSocket(pair.first, 0);
        service = std::move(pair.second);
    }
    // Runs one command while the test plays the service (answers, then maybe closes):
    // returns what the command sent.
    std::string Exchange(const std::function<int()>& command, const std::string& answer,
                         int& result, bool close = false) {
        auto done = std::async(std::launch::async, command);
        std::string request = service.Read(40);
        service.Write(answer);
        if (close) {
            service.Close();
        }
        result = done.get();
        return request;
    }
    ScreenReceiverStub stub;
    peer::Peer service;
};

const std::string kListRequest = "\x01" + Zeros(31);
const std::string kName48(48, 'n'); // fills its field: no zero byte ends it

} // namespace

TEST(StubTest, EachCommandSendsItsFrameAndReadsItsAnswer) {
    Connected c;
    ScreenReceiverStub& s = c.stub;
    std::vector<SenderRecord> list;
    struct Case {
        std::function<int()> call;
        std::string sends, answer;
        int result = 0;
        const char* list = nullptr; // the records after a list command
    };
    const EntryFields alice{7, 0x04030201, "alice", 1, 3, 0x0102, 2, 0xFFFE};
    const EntryFields full{8, 0, kName48, 0xFFFF, 0x80}, carrier{9, 1, "c", 0, 0x80, 1, 65535, 3};
    const Case cases[] = {
        {.call = [&] { return s.GetSenderList(&list); },
         .sends = Frame(0x10, kListRequest),
         .answer = List(0x11, {alice, full, carrier}, 1),
         .list = "7 67305985 alice 1 3 258 2 65534;8 0 "
                 "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn "
                 "65535 128 0 0 0;9 1 c 0 128 1 65535 3;"},
        // A basic entry leaves the extended fields of the record it overwrites.
        {.call = [&] { return s.GetNonLocalSenderList(&list); },
         .sends = Frame(0x1A, kListRequest),
         .answer = List(0x1B, {{41, 5, "p", 1, 4}, {42, 6, "q"}}, 0),
         .list = "41 5 p 1 4 258 2 65534;42 6 q 0 128 0 0 0;"},
        // An appended record starts from the defaults.
        {.call = [&] { return s.GetValidSenderList(&list); },
         .sends = Frame(0x1C, kListRequest),
         .answer = List(0x1D, {{51, 0, ""}, {52, 0, ""}, {53, 0, "t"}}, 0),
         .list = "51 0  0 128 258 2 65534;52 0  0 128 0 0 0;53 0 t 0 128 0 0 0;"},
        // Any flag but 0 announces extended entries.
        {.call = [&] { return s.GetNonLocalSenderList(&list); },
         .sends = Frame(0x1A, kListRequest),
         .answer = List(0x1B, {carrier, alice}, 0xC5),
         .list = "9 1 c 0 128 1 65535 3;7 67305985 alice 1 3 258 2 65534;"},
        {.call = [&] { return s.GetNonLocalSenderList(&list); },
         .sends = Frame(0x1A, kListRequest),
         .answer = List(0x1B, {alice}, 0x02),
         .list = "7 67305985 alice 1 3 258 2 65534;"},
        {.call = [&] { return s.StartPlayImage(258, 2); },
         .sends = Frame(0x12, Be32(258) + "\x02" + Zeros(27)),
         .answer = Frame(0x13, "\xFF\x9C\x62\xD2" + std::string(28, '\x11')),
         .result = -6528302},
        {.call = [&] { return s.StartPlayImage(0xA1B2C3D4, 0x80); },
         .sends = Frame(0x12, "\xA1\xB2\xC3\xD4\x80" + Zeros(27)),
         .answer = Frame(0x13, Zeros(32))},
        {.call = [&] { return s.StopPlayImage(258); },
         .sends = Frame(0x14, Be32(258) + Zeros(28)),
         .answer = Frame(0x15, "\xFF\x9C\x62\xD1" + Zeros(28)),
         .result = -6528303},
        {.call = [&] { return s.StopPlayImage(1); },
         .sends = Frame(0x14, Be32(1) + Zeros(28)),
         .answer = Frame(0x15, Be32(5) + Zeros(28)),
         .result = 5},
        {.call = [&] { return s.RefreshConfCtrlTimer(); },
         .sends = Frame(0x16, Zeros(32)),
         .answer = Frame(0x17, std::string(32, '\x77'))},
        {.call = [&] { return s.QuitConfCtrl(); },
         .sends = Frame(0x18, Zeros(32)),
         .answer = Frame(0x19, std::string(32, '\x77'))},
        {.call = [&] { return s.GetNonLocalSenderList(&list); },
         .sends = Frame(0x1A, kListRequest),
         .answer = List(0x1B, {}, 1),
         .list = ""},
    };
    // Each answer comes with the first bytes of the next one behind it, so a reader that
    // takes more or less than its payload breaks the next exchange.
    c.service.Write("Recv");
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);
        int result = 1;
        EXPECT_EQ(c.Exchange(k.call, k.answer.substr(4) + "Recv", result), k.sends);
        EXPECT_EQ(result, k.result);
        EXPECT_EQ(s.GetErrorCode(), k.result); // the service's verdict is the last error
        if (k.list) {
            EXPECT_EQ(Describe(list), k.list);
        }
    }
}

TEST(StubTest, BrokenListAnswerKeepsTheRecordsBeforeIt) {
    // After two entries of five the service closes, or stays connected while the third
    // entry stops part-way or never starts (each read then gives up after its budget).
    struct Case {
        size_t cut; // bytes of the third entry sent
        bool close;
        int result;
    };
    const Case cases[] = {{.cut = 30, .close = true, .result = ORR_ERR_GRACEFUL_CLOSE},
                          {.cut = 20, .close = false, .result = -ETIMEDOUT},
                          {.cut = 0, .close = false, .result = -ETIMEDOUT}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.cut);
        Connected c;
        std::vector<SenderRecord> list;
        auto get = [&] { return c.stub.GetNonLocalSenderList(&list); };
        int result = 1;
        c.Exchange(get, List(0x1B, {{1, 0, ""}, {2, 0, ""}, {3, 0, ""}, {4, 0, ""}, {5, 0, ""}}, 1),
                   result);
        const std::string answer = List(0x1B, {{31, 0, ""}, {32, 0, ""}, {33, 0, "x"}}, 1);
        c.Exchange(get, Frame(0x1B, ListHeader(5, true)) + answer.substr(40, 256 + k.cut), result,
                   k.close);
        EXPECT_EQ(result, k.result);
        EXPECT_EQ(Describe(list), "31 0  0 128 0 0 0;32 0  0 128 0 0 0;3 0  0 128 0 0 0;"
                                  "4 0  0 128 0 0 0;5 0  0 128 0 0 0;");
    }
}

TEST(StubTest, UnansweredCommandTimesOutAndALateAnswerIsIgnored) {
    Connected c;
    std::vector<SenderRecord> list;
    auto get = [&] { return c.stub.GetNonLocalSenderList(&list); };
    int result = 1;
    c.Exchange(get, List(0x1B, {{1, 0, ""}}, 0), result);
    c.Exchange(get, "", result);
    EXPECT_EQ(result, ORR_ERR_NO_RESPONSE);
    EXPECT_EQ(std::string(c.stub.GetErrorText())
                  .rfind("GetNonLocalSenderList command failed to "
                         "receive response packet within 10 seconds.",
                         0),
              0u);
    // The answer turns up after the caller gave up: it must not be decoded into the list.
    c.service.Write(List(0x1B, {{77, 0, ""}}, 0));
    c.Exchange([&] { return c.stub.StopPlayImage(1); }, Frame(0x15, Zeros(32)), result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Describe(list), "1 0  0 128 0 0 0;");
}
