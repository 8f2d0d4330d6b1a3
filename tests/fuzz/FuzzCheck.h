// FUZZ_CHECK: an invariant of a fuzz target. A failed check prints where and aborts, which
// libFuzzer reports as a finding and the corpus replay as a failed test.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                           \
    ((cond) ? void(0)                                                                              \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond),       \
               std::abort()))
