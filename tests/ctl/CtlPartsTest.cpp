// screenreceiverctl's pure parts from memory: terminal text, SENDER arguments, list output.
#include "ListOutput.h"
#include "SenderRef.h"
#include "TerminalText.h"
#include "Wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

static auto Sender(uint32_t id, const char* ip, const char* name, uint16_t playing, uint8_t frame) {
    const std::string entry = wire::Entry({id, inet_addr(ip), name, playing, frame, 0, 3}, true);
    SenderRecord s; // as the tool gets it, through the wire decoder
    s.DecodeEntry(reinterpret_cast<const uint8_t*>(entry.data()), true);
    return s;
}
static const std::vector<SenderRecord> kSenders = {
    Sender(7, "10.0.0.5", "Alice", 0, 3), Sender(8, "10.0.0.6", "Bob", 1, 2),
    Sender(-1u, "10.0.0.6", "Eve\xe2\x80\xae\x1b[2J\xff\\", 1, 0x80)};

TEST(CtlParts, TerminalTextKeepsUtf8AndEscapesControlsAndBytesThatAreNotUtf8) {
    EXPECT_EQ(ctl::TerminalText(std::string("A\xc3\xa9\xf0\x9f\x98\x80\x1b]\x07\x7f\0\\", 13) +
                                "\xc2\x85\xe2\x80\xae\xe2\x81\xa6\xd8\x9c\xff\xc0\xaf" +
                                "\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82"),
              "A\xc3\xa9\xf0\x9f\x98\x80\\x1B]\\x07\\x7F\\x00\\\\\\u{0085}\\u{202E}\\u{2066}"
              "\\u{061C}\\xFF\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xE2\\x82");
}

TEST(CtlParts, SenderRefNamesOneSenderOrSaysWhyNot) {
    // clang-format off
    const std::pair<const char*, std::string> cases[] = {
        {"7", "7"}, {"id:8", "8"}, {"ip:10.0.0.5", "7"}, {"Alice", "7"}, {"", "-"}, {"ip:7", "-"},
        {"id:10.0.0.5", "-"}, {"id:4294967296", "-"}, {"name:8", "no sender is named '8'"},
        {"10.0.0.6", "'10.0.0.6' fits 2 senders; name one by its id:\n  8  10.0.0.6  Bob\n"
                     "  4294967295  10.0.0.6  Eve\\u{202E}\\x1B[2J\\xFF\\\\"}};
    // clang-format on
    for (const auto& [arg, want] : cases) {
        ctl::SenderRef ref;
        std::string why = "-";
        const SenderRecord* s = ref.Parse(arg) ? ref.Resolve(kSenders, &why) : nullptr;
        EXPECT_EQ(s ? std::to_string(s->id()) : why, want) << arg;
    }
}

TEST(CtlParts, ListAsTableAndJsonKeepsHostileNamesInert) {
    EXPECT_EQ(ctl::ListTable(kSenders),
              "ID         IP              APPTYPE FRAME     NAME\n"
              "7          10.0.0.5        3       not shown Alice\n"
              "8          10.0.0.6        3       2         Bob\n"
              "4294967295 10.0.0.6        3       shown     Eve\\u{202E}\\x1B[2J\\xFF\\\\\n");
    const std::string json = ctl::ListJson(kSenders); // ASCII, and a raw control would not parse
    EXPECT_TRUE(std::all_of(json.begin(), json.end(), [](unsigned char c) { return c < 0x80; }));
    EXPECT_EQ(nlohmann::json::parse(json), nlohmann::json::parse(R"({"senders": [
      {"id": 7, "name": "Alice", "ip": "10.0.0.5", "appType": 3, "shown": false, "frame": null},
      {"id": 8, "name": "Bob", "ip": "10.0.0.6", "appType": 3, "shown": true, "frame": 2},
      {"id": 4294967295, "name": "Eve\u202e\u001b[2J\ufffd\\", "ip": "10.0.0.6", "appType": 3,
       "shown": true, "frame": null}]})"));
}
