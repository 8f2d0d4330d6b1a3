// The program's request vocabulary and its XML reply, without a connection.
#include "CgiFrontEnd.h"
#include "WireBytes.h"
#include "XmlReplyWriter.h"

#include <arpa/inet.h>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

using Action = CgiFrontEnd::Action;

namespace {

SenderRecord Record(const wire::EntryFields& fields) {
    SenderRecord record;
    std::string entry = wire::Entry(fields, true);
    record.DecodeEntry(reinterpret_cast<const uint8_t*>(entry.data()), true);
    return record;
}

// Three senders with ids 100, 101, 102 at indices 0, 1, 2.
std::vector<SenderRecord> ThreeSenders() {
    return {Record({100, 0, "a"}), Record({101, 0, "b"}), Record({102, 0, "c"})};
}

// Plans a request given as name/value pairs, with a getcgivars-style array.
std::vector<Action> Plan(std::initializer_list<std::pair<std::string, std::string>> pairs,
                         const std::vector<SenderRecord>& senders = ThreeSenders()) {
    std::vector<std::string> storage;
    for (const auto& p : pairs) {
        storage.push_back(p.first);
        storage.push_back(p.second);
    }
    std::vector<char*> vars;
    for (std::string& s : storage) {
        vars.push_back(&s[0]);
    }
    vars.push_back(nullptr);
    return CgiFrontEnd::PlanActions(vars.data(), senders);
}

std::string Describe(const std::vector<Action>& actions) {
    std::string text;
    for (const Action& a : actions) {
        switch (a.kind) {
        case Action::kStart:
            text += "start " + std::to_string(a.id) + "/" + std::to_string(a.frame) + ";";
            break;
        case Action::kStop:
            text += "stop " + std::to_string(a.id) + ";";
            break;
        case Action::kQuit:
            text += "quit;";
            break;
        }
    }
    return text;
}

} // namespace

TEST(FrontEndTest, SelectionCarriesOverFromVariableToVariable) {
    EXPECT_EQ(Describe(Plan({{"userid2", "Play3_1"}})), "start 102/3;");
    EXPECT_EQ(Describe(Plan({{"userid1", "Play2"}, {"userid0", "Stop"}})), "start 101/2;stop 100;");
    // No "userid" before: index 0. A later variable keeps the last index set.
    EXPECT_EQ(Describe(Plan({{"x", "Stop"}})), "stop 100;");
    EXPECT_EQ(Describe(Plan({{"userid2", "-"}, {"frame", "Play1"}, {"y", "Stop"}})),
              "start 102/1;stop 102;");
    // strtol rules: no digits gives 0, white space and sign are allowed, digits stop early.
    EXPECT_EQ(Describe(Plan({{"userid1", ""}, {"useridX", "Stop"}})), "stop 100;");
    EXPECT_EQ(Describe(Plan({{"userid +1", "Stop"}, {"userid7x", ""}, {"userid2x", "Stop"}})),
              "stop 101;stop 102;");
    EXPECT_EQ(Describe(Plan({})), "");
    EXPECT_EQ(Describe(Plan({{"userid1", "other"}, {"a", "b"}})), "");
}

TEST(FrontEndTest, PlayNumbersBecomeFrameBytes) {
    EXPECT_EQ(Describe(Plan({{"userid2", "Play"}})), "start 102/128;");
    EXPECT_EQ(Describe(Plan({{"userid2", "Play_1"}})), "start 102/128;");
    EXPECT_EQ(Describe(Plan({{"userid2", "Play0"}})), "start 102/128;");
    EXPECT_EQ(Describe(Plan({{"userid2", "Play256"}})), "start 102/0;");
    EXPECT_EQ(Describe(Plan({{"userid2", "Play-1"}})), "start 102/255;");
    EXPECT_EQ(Describe(Plan({{"userid2", "Play4x_9"}})), "start 102/4;");
    EXPECT_EQ(Describe(Plan({{"userid2", "Play99999999999999999999"}})), "start 102/255;");
}

TEST(FrontEndTest, MatchingIsByLeadingCharactersAndCaseSensitive) {
    EXPECT_EQ(Describe(Plan({{"Logout", "1"}, {"userid1", "play2"}, {"x", "stop"}})), "");
    // The name is not an index setter, but its value still acts on index 0.
    EXPECT_EQ(Describe(Plan({{"USERID1", "Play2"}})), "start 100/2;");
    EXPECT_EQ(Describe(Plan({{"userid1", "Stopped"}})), "stop 101;");
    EXPECT_EQ(Describe(Plan({{"userid1", "PlayStop"}})), "start 101/128;");
    EXPECT_EQ(Describe(Plan({{"userid", "Pla"}, {"useri", "Sto"}})), "");
}

TEST(FrontEndTest, LogoutEndsTheRequest) {
    EXPECT_EQ(Describe(Plan({{"logout", "1"}})), "quit;");
    EXPECT_EQ(Describe(Plan({{"userid1", "Play2"}, {"logout2", ""}, {"userid0", "Stop"}})),
              "start 101/2;quit;");
    // A logout name wins over its own value.
    EXPECT_EQ(Describe(Plan({{"logout", "Stop"}})), "quit;");
}

TEST(FrontEndTest, IndexNamingNoRecordIsSkipped) {
    EXPECT_EQ(Describe(Plan({{"userid3", "Play1"}, {"userid-1", "Stop"}, {"userid1", "Stop"}})),
              "stop 101;");
    // The index is a signed 32-bit number: larger values keep their low 32 bits.
    EXPECT_EQ(Describe(Plan({{"userid4294967297", "Stop"}})), "stop 101;");
    EXPECT_EQ(Describe(Plan({{"userid4294967295", "Stop"}})), "");
    EXPECT_EQ(Describe(Plan({{"x", "Stop"}, {"logout", ""}}, {})), "quit;");
}

namespace {

std::string Written(const std::function<void(XmlReplyWriter&)>& write) {
    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    if (!file) {
        return "";
    }
    XmlReplyWriter writer(file);
    write(writer);
    std::string text;
    std::rewind(file);
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) {
        text.append(buf, n);
    }
    std::fclose(file);
    return text;
}

} // namespace

TEST(FrontEndTest, ReplyListsEverySender) {
    EXPECT_EQ(Written([](XmlReplyWriter& w) { w.WriteHeader(); }),
              "Content-Type: text/xml\n\n<return>\n");
    EXPECT_EQ(Written([](XmlReplyWriter& w) { w.WriteSenderList({}); }),
              "<total>0</total>\n</return>\n");

    std::vector<SenderRecord> senders = {
        Record({1, 0x01020304, "a&b<c>;d%e+f", 0, 3, 0, 7}), // not playing: frame -1
        Record({2, 0x0A000005, "Bob \"x\" 'y' \xC3\xA9", 1, 0x80, 0, 65535}),
        Record({3, 0, "", 2, 3, 0, 0}),
    };
    // The address is an in_addr value of the device: print what inet_ntoa would.
    in_addr first{senders[0].ipAddress()}, second{senders[1].ipAddress()};
    std::string ip1 = inet_ntoa(first), ip2 = inet_ntoa(second);
    EXPECT_EQ(Written([&](XmlReplyWriter& w) { w.WriteSenderList(senders); }),
              "<total>3</total>\n"
              "<conference>\n<username>aPa_AmpbPa_LtcPa_GtPa_NotedPa_PercentePa_Addf</username>\n"
              "<frame>-1</frame>\n<ip>" +
                  ip1 +
                  "</ip>\n<apptype>7</apptype>\n</conference>\n"
                  "<conference>\n<username>Bob \"x\" 'y' \xC3\xA9</username>\n<frame>0</frame>\n"
                  "<ip>" +
                  ip2 +
                  "</ip>\n<apptype>65535</apptype>\n</conference>\n"
                  "<conference>\n<username></username>\n<frame>3</frame>\n<ip>0.0.0.0</ip>\n"
                  "<apptype>0</apptype>\n</conference>\n"
                  "</return>\n");
    EXPECT_EQ(XmlReplyWriter::EscapeUserName("&&++"), "Pa_AmpPa_AmpPa_AddPa_Add");
}
