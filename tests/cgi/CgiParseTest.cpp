// In-process: the form-variable parser (fake environment, body in chunks).
#include "getcgivars.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

bool operator==(const CgiVariable& a, const CgiVariable& b) {
    return a.name == b.name && a.value == b.value;
}

namespace {

using Vars = std::vector<CgiVariable>;
using E = CgiError;

// A request (null: not set) and its outcome. GET and HEAD take `text` as the query, with a
// body "x=9" ready; POST takes it as the body, with a query "q=1": neither may be read.
struct Row {
    const char *method, *type, *length, *text;
    size_t chunk; // most body bytes handed out per read
    CgiError error;
    Vars variables;
    size_t consumed; // body bytes read
};

TEST(CgiParse, EachRequestGivesItsVariablesOrItsError) {
    const char* const F = "application/x-www-form-urlencoded";
    const std::string tooLong = std::to_string(kMaxCgiContentLength + 1);
    const std::string largest = std::to_string(kMaxCgiContentLength);
    const Vars ab = {{"a", "1"}, {"b", "2"}}, a = {{"a", "1"}};
    std::vector<Row> rows = {
        // method, type, length, text, bytes per read -> error, variables, body bytes read
        {"GET", F, "3", "a=1&b=2", 99, E::None, ab, 0},
        {"HEAD", F, "3", "a=1&b=2", 99, E::None, ab, 0},
        {"GET", F, "3", nullptr, 99, E::None, {}, 0},
        {"GET", F, "3", "", 99, E::None, {}, 0},
        {"POST", F, "3", "a=1", 99, E::None, a, 3},
        {nullptr, F, "3", "a=1", 99, E::UnsupportedMethod, {}, 0},
        {"POST", nullptr, "3", "a=1", 99, E::UnsupportedContentType, {}, 0},
        {"POST", "text/plain", "abc", "a=1", 99, E::UnsupportedContentType, {}, 0}, // type first
        {"POST", F, nullptr, "a=1", 99, E::NoContentLength, {}, 0},
        {"POST", F, tooLong.c_str(), "a=1", 99, E::BodyAllocation, {}, 0},
        {"POST", F, "99999999999999999999999", "a=1", 99, E::BodyAllocation, {}, 0},
        {"POST", F, largest.c_str(), "a=1", 99, E::ShortBody, {}, 3},
        {"POST", F, " 3 bytes", "a=1", 99, E::None, a, 3}, // read as strtol would
        // Exactly CONTENT_LENGTH bytes, in any chunking; the rest stays unread.
        {"POST", F, "7", "a=1&b=2&c=3", 99, E::None, ab, 7},
        {"POST", F, "14", "name=va%6Cue&x", 1, E::None, {{"name", "value"}, {"x", ""}}, 14},
        {"POST", F, "4", "a=1", 99, E::ShortBody, {}, 3},
        {"POST", F, "1", "", 99, E::ShortBody, {}, 0},
        {"POST", F, "10", "abcdefghi", 2, E::ShortBody, {}, 9},
    };
    // Methods are whole words in capitals; only the two form types, in any letter case.
    for (const char* method : {"get", "Get", "PUT", "GET ", " POST", "POSTX", ""}) {
        rows.push_back({method, F, "3", "a=1", 99, E::UnsupportedMethod, {}, 0});
    }
    for (const char* type : {"APPLICATION/X-WWW-FORM-URLENCODED",
                             "Application/X-Www-Form-Urlencoded; Charset=UTF-8"}) {
        rows.push_back({"POST", type, "3", "a=1", 99, E::None, a, 3});
    }
    for (const char* type :
         {"application/x-www-form-urlencoded;charset=utf-8",
          "application/x-www-form-urlencoded; charset=latin1", "application/x-www-form",
          "application/x-www-form-urlencoded; charset=utf-8; x=y",
          "application/x-www-form-urlencoded "}) {
        rows.push_back({"POST", type, "3", "a=1", 99, E::UnsupportedContentType, {}, 0});
    }
    for (const char* length : {"0", "abc", "", "-1", "-99999999999999999999", "+0"}) {
        rows.push_back({"POST", F, length, "a=1", 99, E::NoContentLength, {}, 0});
    }
    const std::map<CgiError, std::string> messages = {
        {E::None, ""},
        {E::UnsupportedMethod, "getcgivars(): Unsupported REQUEST_METHOD."},
        {E::UnsupportedContentType, "getcgivars(): Unsupported Content-Type."},
        {E::NoContentLength, "getcgivars(): No Content-Length was sent with thePOST request."},
        {E::BodyAllocation, "getcgivars(): Couldn't malloc for cgiinput."},
        {E::ShortBody, "getcgivars(): Couldn't read CGI input from STDIN."}};
    for (const Row& row : rows) {
        const bool post = row.method != nullptr && std::strcmp(row.method, "POST") == 0;
        const std::string body = post ? row.text : "x=9";
        const std::map<std::string, const char*> env = {{"REQUEST_METHOD", row.method},
                                                        {"QUERY_STRING", post ? "q=1" : row.text},
                                                        {"CONTENT_TYPE", row.type},
                                                        {"CONTENT_LENGTH", row.length}};
        size_t consumed = 0;
        const CgiParseResult result = ParseCgiRequest(
            [&](const char* name) { return env.at(name); },
            [&](char* dest, size_t count) {
                const size_t n = std::min({count, row.chunk, body.size() - consumed});
                std::memcpy(dest, body.data() + consumed, n);
                consumed += n;
                return n;
            });
        SCOPED_TRACE(testing::PrintToString(env));
        EXPECT_EQ(row.error, result.error);
        EXPECT_EQ(messages.at(row.error), CgiErrorMessage(result.error));
        EXPECT_EQ(row.variables, result.variables);
        EXPECT_EQ(row.consumed, consumed);
    }
}

TEST(CgiParse, SplittingAndDecoding) {
    const std::pair<std::string, Vars> texts[] = {
        {"a=1&&b=2;c", {{"a", "1"}, {"b", "2"}, {"c", ""}}},
        {";&a=1;;&b&;", {{"a", "1"}, {"b", ""}}},
        {"=x&a=b=c", {{"", "x"}, {"a", "b=c"}}},
        // Separators are found before decoding; "+" is a space, an escaped plus stays "+".
        {"a%26b=1%3B2%3D3", {{"a&b", "1;2=3"}}},
        {"a+b=c+d&a%2Bb=1+%2B", {{"a b", "c d"}, {"a+b", "1 +"}}},
        // Decoded bytes are not read again; a decoded NUL ends the text; a "%" with fewer
        // than two characters after it stays.
        {"%41%62=%7a&%2541&%%41&a=%zz", {{"Ab", "z"}, {"%41", ""}, {"T1", ""}, {"a", "S"}}},
        {"a%00b=c%00d&%&x%4&%41%&e=%41%4",
         {{"a", "c"}, {"%", ""}, {"x%4", ""}, {"A%", ""}, {"e", "A%4"}}},
        {std::string("a=1&b\0=2&c=3", 12), {{"a", "1"}, {"b", ""}}}, // a raw NUL ends the text
    };
    for (const auto& [text, variables] : texts) {
        EXPECT_EQ(variables, ParseFormText(text)) << text;
    }
    // Each character counts as its code, with bit 0x20 cleared above 64, minus 55, else
    // minus 48; the byte is first * 16 + second modulo 256.
    const std::tuple<char, char, int> hex[] = {
        {'0', '0', 0},    {'4', '1', 'A'}, {'7', 'a', 'z'}, {'7', 'A', 'z'}, {'f', 'F', 0xFF},
        {'9', '9', 0x99}, {'z', 'z', 'S'}, {'G', '0', 0},   {'%', '4', 'T'}, {'\xC1', '0', 0xA0}};
    for (const auto& [first, second, byte] : hex) {
        EXPECT_EQ(byte, static_cast<unsigned char>(decodeHexPair(first, second))) << first;
    }
}

TEST(CgiParse, ManyVariablesKeepTheirOrderInTheNullEndedArray) {
    std::string query;
    // Appended, not "v" + std::to_string(i): GCC 12 at -O3 warns falsely (-Wrestrict) on that.
    for (int i = 0; i < 100000; ++i) {
        query.append("v").append(std::to_string(i)).append("=%41").append(std::to_string(i));
        query.append(i % 2 ? ";" : "&");
    }
    char** array = ToCgiVarArray(ParseFormText(query));
    for (int i = 0; i < 100000; ++i) {
        ASSERT_STREQ(std::string("v").append(std::to_string(i)).c_str(), array[2 * i]);
        ASSERT_STREQ(std::string("A").append(std::to_string(i)).c_str(), array[2 * i + 1]);
    }
    EXPECT_EQ(nullptr, array[200000]);
    FreeCgiVarArray(array);
}

} // namespace
