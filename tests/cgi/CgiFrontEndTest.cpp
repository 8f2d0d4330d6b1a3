// In-process: which commands a request's variables ask for, one row per rule of the
// vocabulary, and how the reply prints a list.
#include "CgiFrontEnd.h"
#include "Wire.h"
#include "XmlReplyWriter.h"
#include "getcgivars.h"

#include <arpa/inet.h>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

SenderRecord Sender(const wire::EntryFields& fields) {
    const std::string entry = wire::Entry(fields, true);
    SenderRecord record;
    record.DecodeEntry(reinterpret_cast<const uint8_t*>(entry.data()), true);
    return record;
}

const std::vector<SenderRecord> kSenders = {
    Sender({.id = 7, .ip = inet_addr("10.0.0.5"), .name = "Alice"}),
    Sender({.id = 8, .ip = inet_addr("10.0.0.6"), .name = "B&b <x>"}),
    Sender({.id = 300, .ip = inet_addr("192.168.1.20"), .name = "Carol;100%+"})};

// The plan for a query string, as "P<id>/<frame byte>", "S<id>" and "Q" words.
std::string Plan(const std::string& query) {
    char** vars = ToCgiVarArray(ParseFormText(query));
    std::string plan;
    for (const CgiFrontEnd::Action& action : CgiFrontEnd::PlanActions(vars, kSenders)) {
        const std::string id = std::to_string(action.id);
        switch (action.kind) {
        case CgiFrontEnd::Action::kStart:
            plan += " P" + id + "/" + std::to_string(action.frame);
            break;
        case CgiFrontEnd::Action::kStop:
            plan += " S" + id;
            break;
        case CgiFrontEnd::Action::kQuit:
            plan += " Q";
            break;
        }
    }
    FreeCgiVarArray(vars);
    return plan.empty() ? plan : plan.substr(1);
}

} // namespace

// Each row: a query string and the plan it gives.
TEST(CgiPlan, EachRuleOfTheVocabulary) {
    const std::string stop8 = "x=Stop&x=Stop&x=Stop&x=Stop&x=Stop&x=Stop&x=Stop&x=Stop";
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        // Play<n> shows the selected sender in frame n; with no number, 0 or a bare suffix
        // the receiver chooses (0x80); a suffix after the number is ignored; the number is
        // cut to its low 8 bits.
        {"userid2=Play3&userid1=Play1", "P300/3 P8/1"},
        {"userid2=Play&userid2=Play_1&userid2=Play0", "P300/128 P300/128 P300/128"},
        {"userid2=Play3_1&userid2=Play256&userid2=Play-1&userid2=Play4294967299",
         "P300/3 P300/0 P300/255 P300/3"},
        // The selection starts at 0 and carries over to later variables; the index is read
        // like strtol and cut to its low 32 bits.
        {"x=Stop&userid2=-&frame=Play1&y=Stop", "S7 P300/1 S300"},
        {"userid1=&useridX=Stop;userid%20%2b1=Stop&userid7x=&userid2x=Stop&userid4294967298=Stop",
         "S7 S8 S300 S300"},
        // Only leading characters count, case-sensitively.
        {"Logout=1&userid1=play2&x=stop&userid=Pla&useri=Sto&USERID2=Play2", "P7/2"},
        {"userid1=Stopped&userid0=PlayStop=1", "S8 P7/128"},
        // Logout ends the plan: nothing after it is looked at.
        {"userid1=Play2&logout2=&userid0=Stop", "P8/2 Q"},
        // An index naming no sender is skipped, but counts among the first eight actions;
        // the rest of the request is ignored.
        {"userid3=Play1&userid-1=Stop&userid99999999999=Play2&userid0=Stop", "S7"},
        {"userid3=Play1&userid-1=Stop&userid0=&" + stop8 + "&logout=1", "S7 S7 S7 S7 S7 S7"},
        // sender<i> with the address, or the address and the name as the reply spells it,
        // lets an action on i through, wherever it stands; another sender there skips the
        // action; the last sender<i> counts; sender<i> itself asks for nothing.
        {"sender0=10.0.0.5&userid0=Stop&sender1=10.0.0.6+B%26b+%3Cx%3E&userid1=Stop&"
         "userid2=Stop&sender2=192.168.1.20+CarolPa_Note100%25%2B&sender5=Stop",
         "S7 S8 S300"},
        {"sender0=10.0.0.6&userid0=Stop&sender2=192.168.1.20+Carol&userid2=Stop&"
         "sender1=10.0.0.6+b%26b+%3Cx%3E&userid1=Stop",
         ""},
        {"sender0=10.0.0.6&sender0=10.0.0.5&userid0=Stop&sender1=10.0.0.6&sender1=x&userid1=Stop",
         "S7"},
    };
    for (const auto& [query, plan] : rows) {
        EXPECT_EQ(Plan(query), plan) << query;
    }
}

TEST(CgiReply, EachRecordGivesItsElements) {
    const std::vector<SenderRecord> list = {
        Sender({.ip = inet_addr("10.0.0.5"), .name = "Alice", .frame = 3, .appType = 1}),
        Sender({.ip = inet_addr("10.0.0.6"), .name = "&;%<>+x", .playing = 1, .appType = 65535}),
        Sender({.ip = inet_addr("192.168.1.20"), .playing = 2, .frame = 4})};
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    XmlReplyWriter reply(out);
    reply.WriteHeader();
    reply.WriteSenderList(list);
    std::fclose(out);
    // Not shown: -1 whatever the frame byte; shown in no numbered frame: 0.
    EXPECT_EQ(std::string(text, size),
              "Content-Type: text/xml\n\n<return>\n<total>3</total>\n"
              "<conference>\n<username>Alice</username>\n<frame>-1</frame>\n<ip>10.0.0.5</ip>\n"
              "<apptype>1</apptype>\n</conference>\n"
              "<conference>\n<username>Pa_AmpPa_NotePa_PercentPa_LtPa_GtPa_Addx</username>\n"
              "<frame>0</frame>\n<ip>10.0.0.6</ip>\n<apptype>65535</apptype>\n</conference>\n"
              "<conference>\n<username></username>\n<frame>4</frame>\n<ip>192.168.1.20</ip>\n"
              "<apptype>0</apptype>\n</conference>\n</return>\n");
    std::free(text);
}
