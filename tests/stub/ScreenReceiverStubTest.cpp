// The receiver stub against a scripted peer on the other end of a socket pair: the bytes
// of every request, the decoding of list and result answers, and how failed reads end.
#include "ScreenReceiverStub.h"
#include "WireBytes.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>

using namespace wire;

namespace {

class StubTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("STUB_TEST_LOG")) { // engine trace on stderr when debugging
            m_stub.GetLogger()->Open(nullptr, 700, 0);
        }
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        // Non-blocking, so that each read of the stub is bounded by its 5 s budget rather
        // than by the socket's much longer receive time-out.
        ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
        ASSERT_EQ(m_stub.InitSocket(fds[0], 0), 0);
        m_peer = std::make_unique<Peer>(fds[1]);
    }

    // Runs one stub command on a thread of its own while the test plays the service.
    std::future<int> Issue(std::function<int()> command) {
        return std::async(std::launch::async, std::move(command));
    }

    std::string ListAnswer(uint8_t code, const std::vector<EntryFields>& entries, bool extended) {
        std::string answer = Frame(code, ListHeader(uint16_t(entries.size()), extended));
        for (const EntryFields& e : entries) {
            answer += Entry(e, extended);
        }
        return answer;
    }

    // Fills `list` from a basic answer with the given ids (names "old<id>").
    void Prefill(std::vector<SenderRecord>& list, std::vector<uint32_t> ids) {
        std::vector<EntryFields> entries;
        for (uint32_t id : ids) {
            entries.push_back({id, 0, "old" + std::to_string(id), 0, 0x80});
        }
        auto done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
        m_peer->ReadRequest();
        m_peer->Write(ListAnswer(0x1B, entries, false));
        ASSERT_EQ(done.get(), 0);
        ASSERT_EQ(list.size(), ids.size());
    }

    ScreenReceiverStub m_stub;
    std::unique_ptr<Peer> m_peer;
};

} // namespace

TEST(SenderRecordTest, DecodesBasicAndExtendedEntries) {
    EntryFields f;
    f.id = 7;
    f.ip = 0x04030201;
    f.name = "alice";
    f.playing = 1;
    f.frame = 3;
    f.ext1 = 0x0102;
    f.appType = 2;
    f.ext3 = 0xFFFE;

    SenderRecord record;
    std::string basic = Entry(f, false);
    record.DecodeEntry(reinterpret_cast<const uint8_t*>(basic.data()), false);
    EXPECT_EQ(record.id(), 7u);
    in_addr address{record.ipAddress()};
    if (htonl(1) != 1) { // the front end prints this on a little-endian device
        EXPECT_STREQ(inet_ntoa(address), "1.2.3.4");
    }
    EXPECT_EQ(record.ipAddress(), 0x04030201u);
    EXPECT_EQ(record.userName(), "alice");
    EXPECT_EQ(record.playing(), 1u);
    EXPECT_EQ(record.frameNo(), 3);
    EXPECT_EQ(record.extField1(), 0u);
    EXPECT_EQ(record.appType(), 0u);
    EXPECT_EQ(record.extField3(), 0u);

    std::string extended = Entry(f, true);
    record.DecodeEntry(reinterpret_cast<const uint8_t*>(extended.data()), true);
    EXPECT_EQ(record.extField1(), 0x0102u);
    EXPECT_EQ(record.appType(), 2u);
    EXPECT_EQ(record.extField3(), 0xFFFEu);

    // A basic entry leaves the extended tail of an earlier decode alone.
    f.id = 8;
    f.playing = 0xFFFF; // widened without sign
    basic = Entry(f, false);
    record.DecodeEntry(reinterpret_cast<const uint8_t*>(basic.data()), false);
    EXPECT_EQ(record.id(), 8u);
    EXPECT_EQ(record.playing(), 0xFFFFu);
    EXPECT_EQ(record.appType(), 2u);

    // A name that fills its field without a zero byte is taken whole, and no further.
    f.name = std::string(48, 'n');
    basic = Entry(f, false);
    basic[56] = 'X'; // first byte after the name field
    record.DecodeEntry(reinterpret_cast<const uint8_t*>(basic.data()), false);
    EXPECT_EQ(record.userName(), std::string(48, 'n'));

    EXPECT_EQ(record.reserved1(), 0);
    EXPECT_EQ(record.reserved3(), 0);
}

TEST_F(StubTest, EachCommandSendsItsFrameAndReadsItsAnswer) {
    std::vector<SenderRecord> list;
    const std::string listPayload = "\x01" + Zeros(31);

    struct Case {
        const char* what;
        std::function<int()> call;
        std::string request;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"GetSenderList", [&] { return m_stub.GetSenderList(&list); }, Frame(0x10, listPayload),
         ListAnswer(0x11, {{101, 0, "a"}}, false)},
        {"StartPlayImage", [&] { return m_stub.StartPlayImage(258, 2); },
         Frame(0x12, Be32(258) + "\x02" + Zeros(27)), Frame(0x13, Zeros(32))},
        {"StopPlayImage", [&] { return m_stub.StopPlayImage(258); },
         Frame(0x14, Be32(258) + Zeros(28)), Frame(0x15, Zeros(32))},
        {"RefreshConfCtrlTimer", [&] { return m_stub.RefreshConfCtrlTimer(); },
         Frame(0x16, Zeros(32)), Frame(0x17, std::string(32, '\x77'))},
        {"QuitConfCtrl", [&] { return m_stub.QuitConfCtrl(); }, Frame(0x18, Zeros(32)),
         Frame(0x19, std::string(32, '\x77'))},
        {"GetNonLocalSenderList", [&] { return m_stub.GetNonLocalSenderList(&list); },
         Frame(0x1A, listPayload), ListAnswer(0x1B, {{102, 0, "b"}}, false)},
        {"GetValidSenderList", [&] { return m_stub.GetValidSenderList(&list); },
         Frame(0x1C, listPayload), ListAnswer(0x1D, {{103, 0, "c"}, {104, 0, "d"}}, true)},
        // Ids use all four bytes, most significant first.
        {"StartPlayImage high id", [&] { return m_stub.StartPlayImage(0xA1B2C3D4, 0x80); },
         Frame(0x12, "\xA1\xB2\xC3\xD4\x80" + Zeros(27)), Frame(0x13, Zeros(32))},
    };

    std::vector<uint32_t> firstIds;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto done = Issue(c.call);
        EXPECT_EQ(m_peer->ReadRequest(), c.request);
        m_peer->Write(c.answer);
        EXPECT_EQ(done.get(), 0);
        firstIds.push_back(list.empty() ? 0 : list[0].id());
    }
    // Every list answer went through the list reader into the caller's vector; the
    // answers consumed exactly their payloads, or the next frame would have been missed.
    EXPECT_EQ(firstIds[0], 101u);
    EXPECT_EQ(firstIds[5], 102u);
    EXPECT_EQ(firstIds[6], 103u);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].id(), 104u);
}

TEST_F(StubTest, ListAnswersLeaveExactlyTheAnsweredSenders) {
    std::vector<SenderRecord> list;

    // Extended answer, delivered in small pieces.
    std::vector<EntryFields> five;
    for (uint32_t i = 0; i < 5; ++i) {
        EntryFields e;
        e.id = 10 + i;
        e.ip = 0x0A000001 + i;
        e.name = "user" + std::to_string(i);
        e.playing = i % 2;
        e.frame = uint8_t(i);
        e.appType = uint16_t(20 + i);
        e.ext1 = 1;
        e.ext3 = 3;
        five.push_back(e);
    }
    auto done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
    m_peer->ReadRequest();
    std::string answer = ListAnswer(0x1B, five, true);
    for (size_t at = 0; at < answer.size(); at += 37) {
        m_peer->Write(answer.substr(at, 37));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(done.get(), 0);
    ASSERT_EQ(list.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(list[i].id(), 10 + i);
        EXPECT_EQ(list[i].ipAddress(), 0x0A000001 + i);
        EXPECT_EQ(list[i].userName(), "user" + std::to_string(i));
        EXPECT_EQ(list[i].playing(), i % 2);
        EXPECT_EQ(list[i].frameNo(), i);
        EXPECT_EQ(list[i].appType(), 20 + i);
        EXPECT_EQ(list[i].extField1(), 1u);
        EXPECT_EQ(list[i].extField3(), 3u);
    }

    // A shorter basic answer into the same vector: two records remain, overwritten, and
    // keep the extended fields that a basic entry does not carry.
    done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
    m_peer->ReadRequest();
    m_peer->Write(ListAnswer(0x1B, {{41, 0, "p"}, {42, 0, "q"}}, false));
    ASSERT_EQ(done.get(), 0);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id(), 41u);
    EXPECT_EQ(list[1].userName(), "q");
    EXPECT_EQ(list[0].appType(), 20u);
    EXPECT_EQ(list[1].appType(), 21u);

    // Growing again: appended records start from the defaults.
    done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
    m_peer->ReadRequest();
    m_peer->Write(ListAnswer(0x1B, {{51, 0, "r"}, {52, 0, "s"}, {53, 0, "t"}}, false));
    ASSERT_EQ(done.get(), 0);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2].id(), 53u);
    EXPECT_EQ(list[2].appType(), 0u);
    EXPECT_EQ(list[1].appType(), 21u);

    // An empty list empties the vector.
    done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
    m_peer->ReadRequest();
    m_peer->Write(ListAnswer(0x1B, {}, true));
    ASSERT_EQ(done.get(), 0);
    EXPECT_TRUE(list.empty());
}

TEST_F(StubTest, ServiceResultsBecomeTheLastError) {
    auto done = Issue([&] { return m_stub.StartPlayImage(1, 0x80); });
    m_peer->ReadRequest();
    m_peer->Write(Frame(0x13, "\xFF\x9C\x62\xD2" + std::string(28, '\x11')));
    EXPECT_EQ(done.get(), -6528302);
    EXPECT_EQ(m_stub.GetErrorCode(), -6528302);
    std::string text = m_stub.GetErrorText();
    EXPECT_EQ(text.rfind("Unable to start play image due to device is occupied. "
                         "[ScreenReceiverStub.cpp:",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.back(), ']');

    done = Issue([&] { return m_stub.StopPlayImage(1); });
    m_peer->ReadRequest();
    m_peer->Write(Frame(0x15, "\xFF\x9C\x62\xD1" + Zeros(28)));
    EXPECT_EQ(done.get(), -6528303);
    text = m_stub.GetErrorText();
    EXPECT_EQ(
        text.rfind("Device returned fail on stopping play image. [ScreenReceiverStub.cpp:", 0), 0u)
        << text;

    // Success clears the earlier failure.
    done = Issue([&] { return m_stub.StartPlayImage(1, 1); });
    m_peer->ReadRequest();
    m_peer->Write(Frame(0x13, Zeros(32)));
    EXPECT_EQ(done.get(), 0);
    EXPECT_EQ(m_stub.GetErrorCode(), 0);
    EXPECT_EQ(std::string(m_stub.GetErrorText()).rfind("OK [", 0), 0u);

    // Any other value is passed on unchanged.
    done = Issue([&] { return m_stub.StopPlayImage(1); });
    m_peer->ReadRequest();
    m_peer->Write(Frame(0x15, Be32(5) + Zeros(28)));
    EXPECT_EQ(done.get(), 5);
}

TEST_F(StubTest, CloseInsideAnEntryKeepsTheEntriesReadSoFar) {
    std::vector<SenderRecord> list;
    Prefill(list, {1, 2, 3, 4, 5});

    auto done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
    m_peer->ReadRequest();
    std::string answer = Frame(0x1B, ListHeader(5, false)) + Entry({31, 0, "new31"}, false) +
                         Entry({32, 0, "new32"}, false) +
                         Entry({33, 0, "new33"}, false).substr(0, 30);
    m_peer->Write(answer);
    m_peer->Close();

    EXPECT_EQ(done.get(), -6528002); // "The connection has been gracefully closed."
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].id(), 31u);
    EXPECT_EQ(list[1].userName(), "new32");
    EXPECT_EQ(list[2].id(), 3u);
    EXPECT_EQ(list[2].userName(), "old3");
    EXPECT_EQ(list[4].id(), 5u);
}

TEST_F(StubTest, EntryCutShortByTheReadBudgetFailsTheRead) {
    // The second entry stops part-way, or never starts, and the peer stays silent: after
    // the read budget the entry is not decoded from a half-filled buffer, the read fails
    // as a time-out (the peer did not close).
    for (size_t cut : {20, 0}) {
        SCOPED_TRACE(cut);
        std::vector<SenderRecord> list;
        Prefill(list, {1, 2});
        auto done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
        m_peer->ReadRequest();
        m_peer->Write(Frame(0x1B, ListHeader(2, true)) + Entry({61, 0, "n61", 1, 2, 0, 9}, true) +
                      Entry({62, 0, "n62"}, true).substr(0, cut));

        EXPECT_EQ(done.get(), -ETIMEDOUT);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].id(), 61u);
        EXPECT_EQ(list[0].appType(), 9u);
        EXPECT_EQ(list[1].id(), 2u);
        EXPECT_EQ(list[1].userName(), "old2");
        SetUp(); // the failed read ended the connection: start a new one
    }
}

TEST_F(StubTest, UnansweredCommandTimesOutAndALateAnswerIsIgnored) {
    std::vector<SenderRecord> list;
    Prefill(list, {1});

    auto done = Issue([&] { return m_stub.GetNonLocalSenderList(&list); });
    EXPECT_EQ(m_peer->ReadRequest(), Frame(0x1A, "\x01" + Zeros(31)));
    EXPECT_EQ(done.get(), -6528101);
    std::string text = m_stub.GetErrorText();
    EXPECT_EQ(text.rfind("GetNonLocalSenderList command failed to receive response packet within "
                         "10 seconds. [",
                         0),
              0u)
        << text;

    // The answer turns up after the caller gave up: it must not be decoded into the list.
    m_peer->Write(ListAnswer(0x1B, {{77, 0, "late"}}, false));
    auto next = Issue([&] { return m_stub.StopPlayImage(1); });
    m_peer->ReadRequest();
    m_peer->Write(Frame(0x15, Zeros(32)));
    EXPECT_EQ(next.get(), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id(), 1u);
}
