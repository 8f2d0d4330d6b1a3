// Fuzz target for the form-variable parser: runs ParseCgiRequest on a request built from the
// input and checks what must hold for any request, not only that nothing crashes.
//
// Input layout: byte 0 picks the method and which POST variables are unset; the rest is
// cut at its first two line feeds into field A, field B and the payload. GET/HEAD take all
// of it after byte 0 as QUERY_STRING; POST takes A as CONTENT_TYPE, B as CONTENT_LENGTH and the
// payload as the body, handed out in reads of a size that byte 0 also picks; the fourth
// method takes A as REQUEST_METHOD. The payload is also decoded on its own, in a heap
// block of exactly its size, so that a read past its end is caught.
#include "FuzzCheck.h"
#include "getcgivars.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Counts the non-empty runs between separators of a text that ends at its first NUL: the
// number of variables a successful parse must give.
size_t CountPieces(const std::string& text) {
    size_t pieces = 0;
    bool inPiece = false;
    for (char c : text) {
        if (c == '\0') {
            break;
        }
        const bool separator = c == '&' || c == ';';
        if (!separator && !inPiece) {
            ++pieces;
        }
        inPiece = !separator;
    }
    return pieces;
}

void CheckVariables(const CgiParseResult& result, const std::string& text) {
    FUZZ_CHECK(result.error == CgiError::None);
    FUZZ_CHECK(result.variables.size() == CountPieces(text));
    const size_t textLength = std::strlen(text.c_str());
    for (const CgiVariable& v : result.variables) {
        FUZZ_CHECK(v.name.find('\0') == std::string::npos);
        FUZZ_CHECK(v.value.find('\0') == std::string::npos);
        FUZZ_CHECK(v.name.size() + v.value.size() <= textLength);
        // Separators and "+" are gone before decoding; only escapes can bring them back.
        if (text.find('%') == std::string::npos) {
            FUZZ_CHECK(v.name.find_first_of("&;+") == std::string::npos);
            FUZZ_CHECK(v.value.find_first_of("&;+") == std::string::npos);
            FUZZ_CHECK(v.name.find('=') == std::string::npos);
        }
    }

    char** array = ToCgiVarArray(result.variables);
    FUZZ_CHECK(array != nullptr);
    for (size_t i = 0; i < result.variables.size(); ++i) {
        FUZZ_CHECK(array[2 * i] != nullptr && result.variables[i].name == array[2 * i]);
        FUZZ_CHECK(array[2 * i + 1] != nullptr && result.variables[i].value == array[2 * i + 1]);
    }
    FUZZ_CHECK(array[2 * result.variables.size()] == nullptr);
    FreeCgiVarArray(array);
}

void CheckDecodeAlone(const std::string& payload) {
    const size_t length = std::strlen(payload.c_str());
    std::unique_ptr<char[]> block(new char[length + 1]);
    std::memcpy(block.get(), payload.c_str(), length + 1);
    decodePercentEscapes(block.get());
    const size_t decodedLength = std::strlen(block.get());
    FUZZ_CHECK(decodedLength <= length);
    if (std::memchr(payload.c_str(), '%', length) == nullptr) {
        FUZZ_CHECK(std::memcmp(block.get(), payload.c_str(), length) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t mode = size > 0 ? data[0] : 0;
    const std::string rest =
        size > 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string();
    const size_t firstBreak = rest.find('\n');
    const size_t secondBreak =
        firstBreak == std::string::npos ? std::string::npos : rest.find('\n', firstBreak + 1);
    const std::string fieldA = rest.substr(0, firstBreak);
    const std::string fieldB =
        firstBreak == std::string::npos
            ? std::string()
            : rest.substr(firstBreak + 1, secondBreak == std::string::npos
                                              ? std::string::npos
                                              : secondBreak - firstBreak - 1);
    const std::string payload =
        secondBreak == std::string::npos ? std::string() : rest.substr(secondBreak + 1);

    static const char* const kMethods[] = {"GET", "HEAD", "POST", nullptr};
    const char* method = kMethods[mode & 3];
    const bool isPost = (mode & 3) == 2;
    const bool typeUnset = (mode & 4) != 0;
    const bool lengthUnset = (mode & 8) != 0;
    const size_t chunk = 1 + ((mode >> 4) & 15) * 7;
    const std::string query = isPost || method == nullptr ? std::string() : rest;

    const long long length = lengthUnset ? 0 : ParseCgiDecimal(fieldB.c_str());
    bool queryLookedUp = false;
    size_t readCalls = 0;
    size_t served = 0;
    const CgiParseResult result = ParseCgiRequest(
        [&](const char* name) -> const char* {
            if (std::strcmp(name, "REQUEST_METHOD") == 0) {
                return method != nullptr ? method : fieldA.c_str();
            }
            if (std::strcmp(name, "QUERY_STRING") == 0) {
                queryLookedUp = true;
                return query.c_str();
            }
            if (std::strcmp(name, "CONTENT_TYPE") == 0) {
                return typeUnset ? nullptr : fieldA.c_str();
            }
            if (std::strcmp(name, "CONTENT_LENGTH") == 0) {
                return lengthUnset ? nullptr : fieldB.c_str();
            }
            return nullptr;
        },
        [&](char* dest, size_t count) {
            // Never asked for more than is left of CONTENT_LENGTH.
            FUZZ_CHECK(length > 0 && served + count <= static_cast<size_t>(length));
            ++readCalls;
            size_t n = std::min({count, chunk, payload.size() - served});
            std::memcpy(dest, payload.data() + served, n);
            served += n;
            return n;
        });

    if (!isPost) {
        FUZZ_CHECK(readCalls == 0);
    }
    if (method == nullptr) {
        const std::string name = fieldA.c_str();
        if (name == "GET" || name == "HEAD") {
            CheckVariables(result, std::string());
        } else if (name != "POST") {
            FUZZ_CHECK(result.error == CgiError::UnsupportedMethod);
            FUZZ_CHECK(!queryLookedUp);
        }
    } else if (!isPost) {
        CheckVariables(result, query);
        FUZZ_CHECK(queryLookedUp);
    } else {
        FUZZ_CHECK(!queryLookedUp);
        if (typeUnset) {
            FUZZ_CHECK(result.error == CgiError::UnsupportedContentType);
        }
        FUZZ_CHECK(served <= static_cast<size_t>(length > 0 ? length : 0));
        if (result.error == CgiError::None) {
            FUZZ_CHECK(length > 0 && length <= kMaxCgiContentLength);
            FUZZ_CHECK(served == static_cast<size_t>(length));
            CheckVariables(result, payload.substr(0, served));
        } else if (!typeUnset && result.error != CgiError::UnsupportedContentType) {
            FUZZ_CHECK(length > 0 || result.error == CgiError::NoContentLength);
            if (length > 0 && length <= kMaxCgiContentLength) {
                FUZZ_CHECK(result.error == CgiError::ShortBody);
                FUZZ_CHECK(payload.size() < static_cast<size_t>(length));
            }
        }
    }
    if (result.error != CgiError::None) {
        FUZZ_CHECK(result.variables.empty());
        FUZZ_CHECK(std::strlen(CgiErrorMessage(result.error)) > 0);
    }

    CheckDecodeAlone(payload);
    return 0;
}
