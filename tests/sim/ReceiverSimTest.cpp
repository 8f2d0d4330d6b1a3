// receiver-sim: how it cuts a byte stream into requests. (The process itself, with its
// frame model and faults, serves the program's process tests and the web test.)
#include "RequestParser.h"
#include "Wire.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <numeric>

using wire::Frame;
using Kind = RequestParser::Item::Kind;

namespace {

// A request whose payload counts up from its code, so a payload cut at the wrong place shows.
std::string Req(uint8_t code) {
    std::string payload(32, '\0');
    std::iota(payload.begin(), payload.end(), char(code + 1));
    return Frame(code, payload);
}

// What each piece completed, numbers in hex: "R<code>" a request ("!" after a wrong
// payload), "U<code>" an unknown code, "J<n>" junk bytes; then "p<n>" bytes held back.
std::string Parse(const std::vector<std::string>& pieces) {
    RequestParser parser;
    std::string text;
    for (const std::string& piece : pieces) {
        std::vector<RequestParser::Item> items;
        parser.Feed(reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), items);
        for (const RequestParser::Item& i : items) {
            const bool ok = i.kind != Kind::Request || i.payload == Req(i.code).substr(8);
            char word[24];
            std::snprintf(word, sizeof word, "%c%zx%s ", "RUJ"[int(i.kind)],
                          i.kind == Kind::Junk ? i.junk : i.code, ok ? "" : "!");
            text += word;
        }
        text += "p" + std::to_string(parser.Pending()) + (&piece == &pieces.back() ? "" : "|");
    }
    return text;
}

} // namespace

TEST(ReceiverSimTest, FindsRequestsInAnyPiecesAndBehindJunk) {
    const std::string all =
        Req(0x10) + Req(0x12) + Req(0x14) + Req(0x16) + Req(0x18) + Req(0x1A) + Req(0x1C);
    EXPECT_EQ(Parse({all}), "R10 R12 R14 R16 R18 R1a R1c p0");
    EXPECT_EQ(Parse({"Rec", Req(0x12).substr(3, 11), Req(0x12).substr(14) + "xRecvIP"}),
              "p3|p14|R12 J1 p6");
    // Junk holding broken prefixes, an unknown code and an answer code: prefix and code
    // are dropped, the search goes on behind them.
    EXPECT_EQ(Parse({std::string("\0\xffRRe", 5) + "RecvIP" + "RecvIPX" + Frame(0x99) +
                     Frame(0x13) + Req(0x14)}),
              "J12 U99 U13 R14 p0");
    EXPECT_EQ(Parse({std::string(100000, 'R') + "RecvIPC", "\x1c", Req(0x1C).substr(8)}),
              "J186a0 p7|p8|R1c p0");
}
