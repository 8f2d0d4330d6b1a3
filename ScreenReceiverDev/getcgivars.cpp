#include "getcgivars.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr const char* kFormType = "application/x-www-form-urlencoded";
constexpr const char* kFormTypeUtf8 = "application/x-www-form-urlencoded; charset=utf-8";

// ASCII-only comparison: the accepted types are plain ASCII and the locale must not matter.
bool EqualsIgnoringCase(const char* a, const char* b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Characters above 64 count with the lower-case bit cleared, so "a"-"f" equal "A"-"F".
// Unsigned arithmetic wraps, which gives the "modulo 256" of the caller for free.
unsigned HexDigitValue(char c) {
    const unsigned code = static_cast<unsigned char>(c);
    return code > 64 ? (code & ~0x20u) - 55u : code - 48u;
}

// Decodes in place and drops whatever follows a decoded NUL.
void DecodeString(std::string& text) {
    decodePercentEscapes(text.data());
    text.resize(std::strlen(text.c_str()));
}

CgiParseResult Failure(CgiError error) {
    CgiParseResult result;
    result.error = error;
    return result;
}

CgiParseResult ParsePostBody(const CgiEnvLookup& getEnv, const CgiBodyReader& readBody) {
    const char* contentType = getEnv("CONTENT_TYPE");
    if (contentType == nullptr || !(EqualsIgnoringCase(contentType, kFormType) ||
                                    EqualsIgnoringCase(contentType, kFormTypeUtf8))) {
        return Failure(CgiError::UnsupportedContentType);
    }

    // Missing, digit-less, zero and negative lengths all mean no usable length was sent.
    const char* lengthText = getEnv("CONTENT_LENGTH");
    const long long length = lengthText == nullptr ? 0 : ParseCgiDecimal(lengthText);
    if (length <= 0) {
        return Failure(CgiError::NoContentLength);
    }
    if (length > kMaxCgiContentLength) {
        return Failure(CgiError::BodyAllocation);
    }

    const size_t wanted = static_cast<size_t>(length);
    std::string body;
    try {
        body.resize(wanted);
    } catch (const std::bad_alloc&) {
        return Failure(CgiError::BodyAllocation);
    }
    // Exactly `wanted` bytes: a reader may deliver them in pieces, and whatever the client
    // sent beyond CONTENT_LENGTH stays unread.
    size_t got = 0;
    while (got < wanted) {
        const size_t n = readBody(&body[got], wanted - got);
        if (n == 0) {
            return Failure(CgiError::ShortBody);
        }
        got += n < wanted - got ? n : wanted - got;
    }

    CgiParseResult result;
    result.variables = ParseFormText(body);
    return result;
}

} // namespace

long long ParseCgiDecimal(const char* text) {
    while (IsCSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const int digit = *text - '0';
        if (value > (LLONG_MAX - digit) / 10) {
            value = LLONG_MAX;
            // Saturated: the remaining digits cannot change the outcome.
            break;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::vector<CgiVariable> ParseFormText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string input(text);
    for (char& c : input) {
        if (c == '+') {
            c = ' ';
        }
    }

    std::vector<CgiVariable> variables;
    size_t pos = 0;
    while (pos < input.size()) {
        size_t end = input.find_first_of("&;", pos);
        if (end == std::string::npos) {
            end = input.size();
        }
        if (end > pos) {
            const std::string_view piece(input.data() + pos, end - pos);
            const size_t equals = piece.find('=');
            CgiVariable variable;
            variable.name = std::string(piece.substr(0, equals));
            if (equals != std::string_view::npos) {
                variable.value = std::string(piece.substr(equals + 1));
            }
            DecodeString(variable.name);
            DecodeString(variable.value);
            variables.push_back(std::move(variable));
        }
        pos = end + 1;
    }
    return variables;
}

CgiParseResult ParseCgiRequest(const CgiEnvLookup& getEnv, const CgiBodyReader& readBody) {
    const char* method = getEnv("REQUEST_METHOD");
    if (method == nullptr) {
        return Failure(CgiError::UnsupportedMethod);
    }
    if (std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0) {
        const char* query = getEnv("QUERY_STRING");
        CgiParseResult result;
        result.variables = ParseFormText(query == nullptr ? "" : query);
        return result;
    }
    if (std::strcmp(method, "POST") == 0) {
        return ParsePostBody(getEnv, readBody);
    }
    return Failure(CgiError::UnsupportedMethod);
}

const char* CgiErrorMessage(CgiError error) {
    switch (error) {
    case CgiError::None:
        return "";
    case CgiError::UnsupportedMethod:
        return "getcgivars(): Unsupported REQUEST_METHOD.";
    case CgiError::UnsupportedContentType:
        return "getcgivars(): Unsupported Content-Type.";
    case CgiError::NoContentLength:
        return "getcgivars(): No Content-Length was sent with thePOST request.";
    case CgiError::BodyAllocation:
        return "getcgivars(): Couldn't malloc for cgiinput.";
    case CgiError::ShortBody:
        return "getcgivars(): Couldn't read CGI input from STDIN.";
    }
    return "";
}

char** ToCgiVarArray(const std::vector<CgiVariable>& variables) {
    const size_t slots = 2 * variables.size() + 1;
    char** array = static_cast<char**>(std::calloc(slots, sizeof(char*)));
    if (array == nullptr) {
        return nullptr;
    }
    auto copy = [](const std::string& text) {
        char* block = static_cast<char*>(std::malloc(text.size() + 1));
        if (block != nullptr) {
            std::memcpy(block, text.c_str(), text.size() + 1);
        }
        return block;
    };
    for (size_t i = 0; i < variables.size(); ++i) {
        array[2 * i] = copy(variables[i].name);
        array[2 * i + 1] = copy(variables[i].value);
        if (array[2 * i] == nullptr || array[2 * i + 1] == nullptr) {
            // calloc'ed slots are null, so freeing up to the first null releases all copies.
            std::free(array[2 * i + 1]);
            array[2 * i + 1] = nullptr;
            FreeCgiVarArray(array);
            return nullptr;
        }
    }
    return array;
}

void FreeCgiVarArray(char** array) {
    if (array == nullptr) {
        return;
    }
    for (char** slot = array; *slot != nullptr; ++slot) {
        std::free(*slot);
    }
    std::free(array);
}

void FailCgiRequest(CgiError error) {
    // Same stdio stream as the front end's reply, so the block lands after its lines;
    // exit() flushes it.
    std::fputs("Content-Type: text/plain\n\n", stdout);
    std::fputs(CgiErrorMessage(error), stdout);
    std::fputc('\n', stdout);
    std::exit(1);
}

char decodeHexPair(char first, char second) {
    return static_cast<char>((HexDigitValue(first) * 16u + HexDigitValue(second)) & 0xFFu);
}

void decodePercentEscapes(char* text) {
    if (text == nullptr) {
        return;
    }
    char* out = text;
    const char* in = text;
    while (*in != '\0') {
        // in[2] is only looked at when in[1] is not the terminator, so a trailing "%" or
        // "%X" never reads past the string; it is copied as it is.
        if (*in == '%' && in[1] != '\0' && in[2] != '\0') {
            *out = decodeHexPair(in[1], in[2]);
            if (*out == '\0') {
                return;
            }
            ++out;
            in += 3;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

char** getcgivars(void) {
    CgiError error = CgiError::None;
    char** array = nullptr;
    // Scoped so that nothing of the parse is still held when the process exits. Running out
    // of memory anywhere in it is reported like a body that cannot be allocated.
    try {
        const CgiParseResult parsed = ParseCgiRequest(
            [](const char* name) -> const char* { return std::getenv(name); },
            [](char* dest, size_t count) { return std::fread(dest, 1, count, stdin); });
        error = parsed.error;
        if (error == CgiError::None) {
            array = ToCgiVarArray(parsed.variables);
            if (array == nullptr) {
                error = CgiError::BodyAllocation;
            }
        }
    } catch (const std::bad_alloc&) {
        error = CgiError::BodyAllocation;
    }
    if (error != CgiError::None) {
        FailCgiRequest(error);
    }
    return array;
}
