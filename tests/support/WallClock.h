// Steps this process's wall clock, as NTP does on a board that boots without a real-time
// clock. Linking this file replaces the C library's clock_gettime and gettimeofday for the
// whole process (the code under test, Boost and the C++ library alike); the
// monotonic clock is left alone.
#pragma once

#include <cstdint>

namespace peer {

// Moves the wall clock by ms (negative: back) from now on; the steps add up.
void StepWallClock(int64_t ms);

} // namespace peer
