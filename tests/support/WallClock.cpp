#include "WallClock.h"

#include <atomic>
#include <ctime>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

std::atomic<int64_t> g_stepNs{0};

bool IsWallClock(clockid_t id) {
    return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
}

} // namespace

namespace peer {

void StepWallClock(int64_t ms) {
    g_stepNs += ms * 1000000;
}

} // namespace peer

// The system call itself, not the C library's fast path: that is the function replaced.
extern "C" int clock_gettime(clockid_t id, timespec* ts) noexcept {
    if (::syscall(SYS_clock_gettime, id, ts) != 0) {
        return -1;
    }
    if (IsWallClock(id)) {
        const int64_t ns = int64_t(ts->tv_sec) * 1000000000 + ts->tv_nsec + g_stepNs.load();
        ts->tv_sec = time_t(ns / 1000000000);
        ts->tv_nsec = long(ns % 1000000000);
    }
    return 0;
}

extern "C" int gettimeofday(timeval* __restrict tv, void* __restrict /*tz*/) noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec; // never null: the C library's declaration says so
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}
