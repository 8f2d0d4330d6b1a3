// In-process tests of the pure form-variable parsing: methods, content types, lengths,
// body reading, splitting and decoding, with a fake environment and a fake body reader.
#include "getcgivars.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs ToPairs(const std::vector<CgiVariable>& variables) {
    Pairs pairs;
    for (const CgiVariable& v : variables) {
        pairs.emplace_back(v.name, v.value);
    }
    return pairs;
}

// A request as the parser sees it: environment, a body served in chunks, and a record of
// what the parser asked for.
struct FakeRequest {
    std::map<std::string, std::string> env;
    std::string body;
    size_t chunk = SIZE_MAX; // most bytes handed out per read
    size_t consumed = 0;
    std::set<std::string> lookedUp;

    CgiParseResult Parse() {
        return ParseCgiRequest(
            [this](const char* name) -> const char* {
                lookedUp.insert(name);
                auto it = env.find(name);
                return it == env.end() ? nullptr : it->second.c_str();
            },
            [this](char* dest, size_t count) {
                size_t n = std::min({count, chunk, body.size() - consumed});
                std::memcpy(dest, body.data() + consumed, n);
                consumed += n;
                return n;
            });
    }
};

FakeRequest Post(std::string body, std::string length,
                 std::string type = "application/x-www-form-urlencoded") {
    FakeRequest request;
    request.env = {{"REQUEST_METHOD", "POST"},
                   {"CONTENT_TYPE", std::move(type)},
                   {"CONTENT_LENGTH", std::move(length)}};
    request.body = std::move(body);
    return request;
}

FakeRequest Get(const char* method, const char* query) {
    FakeRequest request;
    request.env["REQUEST_METHOD"] = method;
    if (query != nullptr) {
        request.env["QUERY_STRING"] = query;
    }
    return request;
}

std::string Decoded(const std::string& text) {
    // Exact-size heap copy, so that a read past the terminator shows under AddressSanitizer.
    std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
    std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
    decodePercentEscapes(buffer.get());
    return buffer.get();
}

TEST(CgiMethods, GetAndHeadReadTheQueryPostReadsOnlyTheBodyOthersFail) {
    FakeRequest get = Get("GET", "a=1&b=2");
    CgiParseResult r = get.Parse();
    EXPECT_EQ(r.error, CgiError::None);
    EXPECT_EQ(ToPairs(r.variables), (Pairs{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(get.lookedUp.count("CONTENT_LENGTH"), 0u);

    FakeRequest head = Get("HEAD", "a=1&b=2");
    EXPECT_EQ(ToPairs(head.Parse().variables), ToPairs(r.variables));

    for (const char* query : {static_cast<const char*>(nullptr), ""}) {
        FakeRequest empty = Get("GET", query);
        CgiParseResult e = empty.Parse();
        EXPECT_EQ(e.error, CgiError::None);
        EXPECT_TRUE(e.variables.empty());
    }

    FakeRequest post = Post("x=9", "3");
    post.env["QUERY_STRING"] = "q=1";
    CgiParseResult p = post.Parse();
    EXPECT_EQ(p.error, CgiError::None);
    EXPECT_EQ(ToPairs(p.variables), (Pairs{{"x", "9"}}));
    EXPECT_EQ(post.lookedUp.count("QUERY_STRING"), 0u);

    // Whole words, case-sensitive; an unset method is refused the same way.
    for (const char* method : {"get", "Get", "PUT", "GET ", " POST", "POSTX", ""}) {
        EXPECT_EQ(Get(method, "a=1").Parse().error, CgiError::UnsupportedMethod) << method;
    }
    FakeRequest none;
    none.env["QUERY_STRING"] = "a=1";
    EXPECT_EQ(none.Parse().error, CgiError::UnsupportedMethod);
    EXPECT_EQ(none.lookedUp.count("QUERY_STRING"), 0u);
}

TEST(CgiContentTypes, OnlyTheTwoFormTypesInAnyLetterCase) {
    for (const char* type :
         {"application/x-www-form-urlencoded", "APPLICATION/X-WWW-FORM-URLENCODED",
          "Application/X-Www-Form-Urlencoded; Charset=UTF-8",
          "application/x-www-form-urlencoded; charset=utf-8"}) {
        CgiParseResult r = Post("a=1", "3", type).Parse();
        EXPECT_EQ(r.error, CgiError::None) << type;
        EXPECT_EQ(ToPairs(r.variables), (Pairs{{"a", "1"}})) << type;
    }
    for (const char* type : {"application/x-www-form-urlencoded;charset=utf-8",
                             "application/x-www-form-urlencoded; charset=latin1",
                             "application/x-www-form-urlencoded; charset=utf-8; x=y",
                             "application/x-www-form-urlencoded ", "application/x-www-form",
                             "multipart/form-data", "text/plain", ""}) {
        EXPECT_EQ(Post("a=1", "3", type).Parse().error, CgiError::UnsupportedContentType) << type;
    }
    FakeRequest missing = Post("a=1", "3");
    missing.env.erase("CONTENT_TYPE");
    EXPECT_EQ(missing.Parse().error, CgiError::UnsupportedContentType);
    // The type is checked before the length.
    EXPECT_EQ(Post("a=1", "abc", "text/plain").Parse().error, CgiError::UnsupportedContentType);
}

TEST(CgiContentLength, ParsedLikeStrtolAndRefusedWhenUnusable) {
    EXPECT_EQ(ParseCgiDecimal("42"), 42);
    EXPECT_EQ(ParseCgiDecimal(" \t\n+7x"), 7);
    EXPECT_EQ(ParseCgiDecimal("-12"), -12);
    EXPECT_EQ(ParseCgiDecimal("abc"), 0);
    EXPECT_EQ(ParseCgiDecimal("- 5"), 0);
    EXPECT_EQ(ParseCgiDecimal("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(ParseCgiDecimal("-99999999999999999999999"), -LLONG_MAX);

    for (const char* length : {"0", "abc", "", "-1", "-99999999999999999999", "+0"}) {
        FakeRequest request = Post("a=1", length);
        EXPECT_EQ(request.Parse().error, CgiError::NoContentLength) << length;
        EXPECT_EQ(request.consumed, 0u) << length;
    }
    FakeRequest missing = Post("a=1", "3");
    missing.env.erase("CONTENT_LENGTH");
    EXPECT_EQ(missing.Parse().error, CgiError::NoContentLength);

    // Too large to be a form post: refused before anything is allocated or read.
    for (std::string length :
         {std::to_string(kMaxCgiContentLength + 1), std::string("99999999999999999999999")}) {
        FakeRequest request = Post("a=1", length);
        EXPECT_EQ(request.Parse().error, CgiError::BodyAllocation) << length;
        EXPECT_EQ(request.consumed, 0u) << length;
    }

    // Leading blanks and trailing junk are allowed, as with strtol.
    EXPECT_EQ(ToPairs(Post("a=1", " 3 bytes").Parse().variables), (Pairs{{"a", "1"}}));
}

TEST(CgiBody, ExactlyContentLengthBytesAreReadInAnyChunking) {
    FakeRequest longer = Post("a=1&b=2&c=3", "7");
    CgiParseResult r = longer.Parse();
    EXPECT_EQ(r.error, CgiError::None);
    EXPECT_EQ(ToPairs(r.variables), (Pairs{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(longer.consumed, 7u); // the rest stays unread

    FakeRequest trickle = Post("name=va%6Cue&x", "14");
    trickle.chunk = 1;
    EXPECT_EQ(ToPairs(trickle.Parse().variables), (Pairs{{"name", "value"}, {"x", ""}}));
    EXPECT_EQ(trickle.consumed, 14u);

    FakeRequest shorter = Post("a=1", "4");
    EXPECT_EQ(shorter.Parse().error, CgiError::ShortBody);
    FakeRequest empty = Post("", "1");
    EXPECT_EQ(empty.Parse().error, CgiError::ShortBody);
    FakeRequest shortChunks = Post("abcdefghi", "10");
    shortChunks.chunk = 2;
    EXPECT_EQ(shortChunks.Parse().error, CgiError::ShortBody);

    // A raw NUL in the body ends the text, as in the C string it is read into.
    FakeRequest nul = Post(std::string("a=1&b\0=2&c=3", 12), "12");
    EXPECT_EQ(ToPairs(nul.Parse().variables), (Pairs{{"a", "1"}, {"b", ""}}));
}

TEST(CgiSplitting, SeparatorsEmptyPiecesAndTheFirstEquals) {
    EXPECT_EQ(ToPairs(ParseFormText("a=1&&b=2;c")), (Pairs{{"a", "1"}, {"b", "2"}, {"c", ""}}));
    EXPECT_EQ(ToPairs(ParseFormText(";&a=1;;&b&;")), (Pairs{{"a", "1"}, {"b", ""}}));
    EXPECT_TRUE(ParseFormText("&;&&;").empty());
    EXPECT_EQ(ToPairs(ParseFormText("=x")), (Pairs{{"", "x"}}));
    EXPECT_EQ(ToPairs(ParseFormText("=")), (Pairs{{"", ""}}));
    EXPECT_EQ(ToPairs(ParseFormText("a=b=c")), (Pairs{{"a", "b=c"}}));
    EXPECT_EQ(ToPairs(ParseFormText("a=")), (Pairs{{"a", ""}}));
    // Separators are found before decoding, so escaped ones stay inside a piece.
    EXPECT_EQ(ToPairs(ParseFormText("a%26b=1%3B2%3D3")), (Pairs{{"a&b", "1;2=3"}}));
    // "+" becomes a space before decoding; an escaped plus survives as "+".
    EXPECT_EQ(ToPairs(ParseFormText("a+b=c+d")), (Pairs{{"a b", "c d"}}));
    EXPECT_EQ(ToPairs(ParseFormText("a%2Bb=1+%2B")), (Pairs{{"a+b", "1 +"}}));
}

TEST(CgiSplitting, HundredThousandVariablesInOrder) {
    const int count = 100000;
    std::string query;
    for (int i = 0; i < count; ++i) {
        query += "v" + std::to_string(i) + "=%41" + std::to_string(i) + (i % 2 ? ";" : "&");
    }
    FakeRequest request = Get("GET", query.c_str());
    CgiParseResult r = request.Parse();
    ASSERT_EQ(r.error, CgiError::None);
    ASSERT_EQ(r.variables.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(r.variables[i].name, "v" + std::to_string(i));
        ASSERT_EQ(r.variables[i].value, "A" + std::to_string(i));
    }

    char** array = ToCgiVarArray(r.variables);
    ASSERT_NE(array, nullptr);
    EXPECT_STREQ(array[0], "v0");
    EXPECT_STREQ(array[2 * count - 1], ("A" + std::to_string(count - 1)).c_str());
    EXPECT_EQ(array[2 * count], nullptr);
    FreeCgiVarArray(array);

    char** none = ToCgiVarArray({});
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0], nullptr);
    FreeCgiVarArray(none);
}

TEST(CgiDecoding, HexPairArithmetic) {
    EXPECT_EQ(decodeHexPair('0', '0'), '\0');
    EXPECT_EQ(decodeHexPair('4', '1'), 'A');
    EXPECT_EQ(decodeHexPair('7', 'a'), 'z');
    EXPECT_EQ(decodeHexPair('7', 'A'), 'z');
    EXPECT_EQ(static_cast<unsigned char>(decodeHexPair('f', 'F')), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(decodeHexPair('9', '9')), 0x99);
    // Non-hex characters are not refused; they follow the same arithmetic.
    EXPECT_EQ(decodeHexPair('z', 'z'), 'S');                                 // 35 * 16 + 35
    EXPECT_EQ(decodeHexPair('G', '0'), '\0');                                // 16 * 16 wraps
    EXPECT_EQ(static_cast<unsigned char>(decodeHexPair('%', '4')), 'T');     // (37-48)*16+4
    EXPECT_EQ(static_cast<unsigned char>(decodeHexPair('\xC1', '0')), 0xA0); // 0xC1-55=138
}

TEST(CgiDecoding, EscapesAreDecodedOnceAndTrailingPercentsStay) {
    EXPECT_EQ(Decoded("%41%62"), "Ab");
    EXPECT_EQ(Decoded("plain text"), "plain text");
    EXPECT_EQ(Decoded("%2541"), "%41"); // the decoded "%" is not read again
    EXPECT_EQ(Decoded("%%41"), "T1");   // "%" then "%4" is one escape, then "1"
    EXPECT_EQ(Decoded("a=%zz"), "a=S");
    EXPECT_EQ(Decoded("ab%00cd"), "ab");
    EXPECT_EQ(Decoded("%"), "%");
    EXPECT_EQ(Decoded("x%4"), "x%4");
    EXPECT_EQ(Decoded("%41%"), "A%");
    EXPECT_EQ(Decoded("%41%4"), "A%4");
    EXPECT_EQ(Decoded(""), "");
    decodePercentEscapes(nullptr); // tolerated

    EXPECT_EQ(ToPairs(ParseFormText("%41%62=%7a")), (Pairs{{"Ab", "z"}}));
    EXPECT_EQ(ToPairs(ParseFormText("a%00b=c%00d&e%")), (Pairs{{"a", "c"}, {"e%", ""}}));
    EXPECT_EQ(ToPairs(ParseFormText("k=%")), (Pairs{{"k", "%"}}));
}

} // namespace
