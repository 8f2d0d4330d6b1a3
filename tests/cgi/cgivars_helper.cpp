// cgivars_helper: stands in for the CGI program around getcgivars so that tests can check
// the process side: the reply start written before it (left unflushed on purpose, to prove
// the error block follows it in order), the error block, the exit code, and the result
// array as the front end sees it. Prints the variable count, then "[name]=[value]" lines.
#include "getcgivars.h"

#include <cstdio>

int main() {
    std::fputs("Content-Type: text/xml\n\n<return>\n", stdout);
    char** vars = getcgivars();
    size_t count = 0;
    while (vars[2 * count] != nullptr) {
        ++count;
    }
    std::printf("%zu\n", count);
    for (size_t i = 0; i < count; ++i) {
        std::printf("[%s]=[%s]\n", vars[2 * i], vars[2 * i + 1]);
    }
    FreeCgiVarArray(vars);
    return 0;
}
