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

std::string List(uint8_t code, const std::vector<EntryFields>& entries, bool extended) {
    std::string answer = Frame(code, ListHeader(uint16_t(entries.size()), extended));
    for (const EntryFields& e : entries) {
        answer += Entry(e, extended);
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
        std::string request, answer;
        int result;
        const char* list; // the records after the command, when it is a list command
    };
    const Case cases[] = {
        {[&] { return s.GetSenderList(&list); }, Frame(0x10, kListRequest),
         List(0x11,
              {{7, 0x04030201, "alice", 1, 3, 0x0102, 2, 0xFFFE},
               {8, 0, kName48, 0xFFFF, 0x80},
               {9, 1, "c", 0, 0x80, 1, 65535, 3}},
              true),
         0,
         "7 67305985 alice 1 3 258 2 65534;8 0 nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn "
         "65535 128 0 0 0;9 1 c 0 128 1 65535 3;"},
        // A basic entry leaves the extended fields of the record it overwrites.
        {[&] { return s.GetNonLocalSenderList(&list); }, Frame(0x1A, kListRequest),
         List(0x1B, {{41, 5, "p", 1, 4}, {42, 6, "q"}}, false), 0,
         "41 5 p 1 4 258 2 65534;42 6 q 0 128 0 0 0;"},
        // An appended record starts from the defaults.
        {[&] { return s.GetValidSenderList(&list); }, Frame(0x1C, kListRequest),
         List(0x1D, {{51, 0, ""}, {52, 0, ""}, {53, 0, "t"}}, false), 0,
         "51 0  0 128 258 2 65534;52 0  0 128 0 0 0;53 0 t 0 128 0 0 0;"},
        {[&] { return s.StartPlayImage(258, 2); }, Frame(0x12, Be32(258) + "\x02" + Zeros(27)),
         Frame(0x13, "\xFF\x9C\x62\xD2" + std::string(28, '\x11')), -6528302, nullptr},
        {[&] { return s.StartPlayImage(0xA1B2C3D4, 0x80); },
         Frame(0x12, "\xA1\xB2\xC3\xD4\x80" + Zeros(27)), Frame(0x13, Zeros(32)), 0, nullptr},
        {[&] { return s.StopPlayImage(258); }, Frame(0x14, Be32(258) + Zeros(28)),
         Frame(0x15, "\xFF\x9C\x62\xD1" + Zeros(28)), -6528303, nullptr},
        {[&] { return s.StopPlayImage(1); }, Frame(0x14, Be32(1) + Zeros(28)),
         Frame(0x15, Be32(5) + Zeros(28)), 5, nullptr},
        {[&] { return s.RefreshConfCtrlTimer(); }, Frame(0x16, Zeros(32)),
         Frame(0x17, std::string(32, '\x77')), 0, nullptr},
        {[&] { return s.QuitConfCtrl(); }, Frame(0x18, Zeros(32)),
         Frame(0x19, std::string(32, '\x77')), 0, nullptr},
        {[&] { return s.GetNonLocalSenderList(&list); }, Frame(0x1A, kListRequest),
         List(0x1B, {}, true), 0, ""},
    };
    // Each answer comes with the first bytes of the next one behind it, so a reader that
    // takes more or less than its payload breaks the next exchange.
    c.service.Write("Recv");
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);
        int result = 1;
        EXPECT_EQ(c.Exchange(k.call, k.answer.substr(4) + "Recv", result), k.request);
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
        size_t cut;
        bool close;
        int result;
    };
    for (const Case& k : {Case{30, true, ORR_ERR_GRACEFUL_CLOSE}, Case{20, false, -ETIMEDOUT},
                          Case{0, false, -ETIMEDOUT}}) {
        SCOPED_TRACE(k.cut);
        Connected c;
        std::vector<SenderRecord> list;
        auto get = [&] { return c.stub.GetNonLocalSenderList(&list); };
        int result = 1;
        c.Exchange(get,
                   List(0x1B, {{1, 0, ""}, {2, 0, ""}, {3, 0, ""}, {4, 0, ""}, {5, 0, ""}}, true),
                   result);
        const std::string answer = List(0x1B, {{31, 0, ""}, {32, 0, ""}, {33, 0, "x"}}, true);
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
    c.Exchange(get, List(0x1B, {{1, 0, ""}}, false), result);
    c.Exchange(get, "", result);
    EXPECT_EQ(result, ORR_ERR_NO_RESPONSE);
    EXPECT_EQ(std::string(c.stub.GetErrorText())
                  .rfind("GetNonLocalSenderList command failed to "
                         "receive response packet within 10 seconds.",
                         0),
              0u);
    // The answer turns up after the caller gave up: it must not be decoded into the list.
    c.service.Write(List(0x1B, {{77, 0, ""}}, false));
    c.Exchange([&] { return c.stub.StopPlayImage(1); }, Frame(0x15, Zeros(32)), result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Describe(list), "1 0  0 128 0 0 0;");
}
