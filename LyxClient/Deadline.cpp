#include "Deadline.h"

#include <algorithm>
#include <ctime>
#include <limits>

namespace lyx {

namespace {

constexpr int64_t kNsPerMs = 1000000;

} // namespace

int64_t Deadline::NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Deadline Deadline::After(uint32_t ms) {
    return Deadline(NowNs() + int64_t(ms) * kNsPerMs);
}

Deadline Deadline::AfterSeconds(int seconds) {
    return After(uint32_t(std::min<int64_t>(std::max(seconds, 0) * int64_t(1000), UINT32_MAX)));
}

Deadline Deadline::Never() {
    return Deadline(std::numeric_limits<int64_t>::max());
}

bool Deadline::Expired() const {
    return NowNs() >= m_nNs;
}

uint32_t Deadline::RemainingMs() const {
    const int64_t left = m_nNs - NowNs();
    if (left <= 0) {
        return 0;
    }
    const int64_t ms = (left + kNsPerMs - 1) / kNsPerMs;
    return ms > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(ms);
}

Deadline Deadline::Min(const Deadline& other) const {
    return m_nNs <= other.m_nNs ? *this : other;
}

} // namespace lyx
