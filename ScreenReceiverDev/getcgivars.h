// getcgivars: reads the form variables of one CGI request (GET/HEAD query or POST body).
//
// The parsing is pure: ParseCgiRequest takes an environment lookup and a body reader and
// returns the decoded variables or an error code, so every rule can be tested and fuzzed
// in-process. getcgivars() is the thin process wrapper: it reads the real environment and
// standard input, hands back a C array of heap strings that the caller owns (and, by
// contract, never frees), or writes a plain-text error block to stdout and exits with 1.
// Owns no state between calls; safe to call from any one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Why a request was rejected. Each value but None has one fixed message line.
enum class CgiError {
    None,
    UnsupportedMethod,      // REQUEST_METHOD missing or not exactly GET, HEAD or POST
    UnsupportedContentType, // POST with CONTENT_TYPE missing or not one of the form types
    NoContentLength,        // POST with CONTENT_LENGTH missing, without digits, 0 or negative
    BodyAllocation,         // POST body larger than kMaxCgiContentLength or out of memory
    ShortBody,              // POST body shorter than CONTENT_LENGTH
};

// The largest POST body accepted. Form posts of this device are tiny; the cap keeps a
// hostile CONTENT_LENGTH from making the program reserve gigabytes.
constexpr long long kMaxCgiContentLength = 16LL * 1024 * 1024;

struct CgiVariable {
    std::string name;  // decoded, never holds a NUL
    std::string value; // decoded, never holds a NUL
};

struct CgiParseResult {
    CgiError error = CgiError::None;
    std::vector<CgiVariable> variables; // in request order; empty when error != None
};

// Returns the value of an environment variable, or nullptr when it is not set.
using CgiEnvLookup = std::function<const char*(const char* name)>;
// Reads at most `count` bytes into `dest` and returns how many it read; 0 means end of
// input or a read error.
using CgiBodyReader = std::function<size_t(char* dest, size_t count)>;

// The whole request: method, content type and length checks, body reading, splitting and
// decoding. Looks up QUERY_STRING only for GET/HEAD and calls `readBody` only for POST,
// never asking it for more than CONTENT_LENGTH bytes in total.
CgiParseResult ParseCgiRequest(const CgiEnvLookup& getEnv, const CgiBodyReader& readBody);

// Splits and decodes an urlencoded text. The text ends at its first NUL, like the C string
// it stands for; "+" becomes a space, "&" and ";" separate, empty pieces are dropped and
// the first "=" of a piece splits name from value.
std::vector<CgiVariable> ParseFormText(std::string_view text);

// Parses CONTENT_LENGTH like strtol(text, nullptr, 10) (leading white space, a sign,
// digits up to the first non-digit, 0 without digits) but saturates instead of overflowing.
long long ParseCgiDecimal(const char* text);

// The message line written for `error` (without line feed); "" for CgiError::None.
const char* CgiErrorMessage(CgiError error);

// Builds the C result layout: slot 2i the i-th name, slot 2i+1 its value, slot 2n null;
// every string a malloc'ed block of its own. Returns nullptr when memory runs out.
char** ToCgiVarArray(const std::vector<CgiVariable>& variables);
// Frees an array made by ToCgiVarArray or getcgivars (the front end itself never does).
void FreeCgiVarArray(char** array);

// Writes "Content-Type: text/plain", an empty line and the message of `error` to stdout
// (after whatever stdout already holds) and ends the process with exit code 1.
[[noreturn]] void FailCgiRequest(CgiError error);

// The byte that the two characters after a "%" stand for. Each character counts as its
// byte value with bit 0x20 cleared minus 55 when that value is above 64, else as its value
// minus 48; the byte is first * 16 + second modulo 256. Hex digits of either case come
// out right; other characters are not refused.
char decodeHexPair(char first, char second);

// Decodes the percent escapes of a NUL-terminated string in place. Decoded bytes are not
// scanned again, a decoded NUL ends the string, and a "%" with fewer than two characters
// after it is kept as it is (nothing past the terminating NUL is read).
void decodePercentEscapes(char* text);

// Reads the current request from the environment and stdin. Returns the result array
// described at ToCgiVarArray; on a rejected request it does not return (FailCgiRequest).
// Any other allocation failure is reported with the BodyAllocation message.
char** getcgivars(void);
