#include "FrameScanner.h"

#include <cstring>

namespace lyx {

FrameScanner::Step FrameScanner::Scan(const char* window, size_t got) const {
    if (m_prefix.empty()) {
        return Step::kFrame;
    }
    if (got < m_windowSize) {
        return Step::kNeedMore;
    }
    auto equals = [&](const std::string& prefix) {
        return prefix.size() == m_windowSize && memcmp(window, prefix.data(), m_windowSize) == 0;
    };
    // When both prefixes are the same bytes the frame counts as a command frame.
    if (equals(m_prefix)) {
        return Step::kFrame;
    }
    if (!m_custom.empty() && equals(m_custom)) {
        return Step::kCustomFrame;
    }
    return Step::kSkipByte;
}

} // namespace lyx
