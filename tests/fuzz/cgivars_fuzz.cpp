// The form-variable parser on any request: variables or an orderly rejection, the body never
// read past CONTENT_LENGTH, the result array well formed. Byte 0 picks the method (GET, HEAD,
// POST or field A), whether CONTENT_TYPE (field A) and CONTENT_LENGTH (field B) are unset and
// the most bytes per read; then field A, LF, field B, LF, the body of a POST or the query.
#include "FuzzCheck.h"
#include "getcgivars.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const unsigned mode = unsigned(in.get());
    std::string type, length;
    std::getline(std::getline(in, type), length);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const char* const methods[] = {"GET", "HEAD", "POST", type.c_str()};
    const std::string method = methods[mode & 3];
    const bool post = method == "POST", query = method == "GET" || method == "HEAD";
    const long long limit = mode & 8 ? 0 : ParseCgiDecimal(length.c_str());
    const std::map<std::string, const char*> env = {
        {"REQUEST_METHOD", methods[mode & 3]},
        {"QUERY_STRING", text.c_str()},
        {"CONTENT_TYPE", mode & 4 ? nullptr : type.c_str()},
        {"CONTENT_LENGTH", mode & 8 ? nullptr : length.c_str()}};
    size_t served = 0;
    bool queryRead = false;
    const CgiParseResult result = ParseCgiRequest(
        [&](const char* name) {
            queryRead |= std::strcmp(name, "QUERY_STRING") == 0;
            return env.at(name);
        },
        [&](char* dest, size_t count) {
            FUZZ_CHECK(post && served + count <= size_t(limit));
            const size_t n = std::min({count, size_t(1 + (mode >> 4) * 7), text.size() - served});
            std::memcpy(dest, text.data() + served, n);
            served += n;
            return n;
        });
    FUZZ_CHECK(queryRead == query);
    if (result.error != CgiError::None) {
        FUZZ_CHECK(result.variables.empty() && *CgiErrorMessage(result.error) != '\0');
    } else {
        FUZZ_CHECK(query || (post && limit > 0 && served == size_t(limit)));
        char** array = ToCgiVarArray(result.variables);
        size_t i = 0;
        for (; array[i] != nullptr; ++i) { // each name and value whole: no NUL inside
            FUZZ_CHECK(i / 2 < result.variables.size());
            FUZZ_CHECK((i % 2 ? result.variables[i / 2].value : result.variables[i / 2].name) ==
                       array[i]);
        }
        FUZZ_CHECK(i == 2 * result.variables.size());
        FreeCgiVarArray(array);
    }
    // Decoding alone, in a block of exactly the text's size: never longer, nothing read past.
    std::vector<char> block(text.c_str(), text.c_str() + text.size() + 1);
    decodePercentEscapes(block.data());
    FUZZ_CHECK(std::strlen(block.data()) <= std::strlen(text.c_str()));
    return 0;
}
