// Deadline: a point in time on the monotonic clock, for every time budget of the engine
// (the connect wait, the answer wait, the send and receive loops and the readers' reads).
// The wall clock may be stepped at any moment (a board without a real-time clock sets it
// from the network after boot); the monotonic clock never jumps, so a budget measured on
// it neither ends early nor stretches when that happens. GetTickMs keeps the wall clock
// for what the log shows; budgets taken as differences of its readings (a departure kept
// small: only the clock changes) ended at once or stretched by the step.
// A plain value: copy it freely; no lock.
#pragma once

#include <cstdint>

namespace lyx {

class Deadline {
public:
    // ms from now.
    static Deadline After(uint32_t ms);
    // seconds from now (a time-out argument: 0 or less is now, at most about 49 days).
    static Deadline AfterSeconds(int seconds);
    // A deadline that never comes (for reads with no outer limit).
    static Deadline Never();

    bool Expired() const;
    // Whole milliseconds left, rounded up so that a wait of this length does not end
    // just short of the deadline; 0 once it has passed.
    uint32_t RemainingMs() const;
    // The earlier of the two.
    Deadline Min(const Deadline& other) const;

    // Nanoseconds on the monotonic clock (for storing a deadline in an atomic).
    int64_t Ns() const { return m_nNs; }
    static Deadline FromNs(int64_t ns) { return Deadline(ns); }

    // The monotonic clock now, in nanoseconds.
    static int64_t NowNs();

private:
    explicit Deadline(int64_t ns) : m_nNs(ns) {}
    int64_t m_nNs;
};

} // namespace lyx
