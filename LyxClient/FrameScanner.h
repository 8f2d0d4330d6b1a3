// FrameScanner: what the bytes at the head of the incoming stream are, decided from the
// bytes alone. The receive thread peeks a window as long as the command prefix, asks Scan
// whether it holds the command prefix, the custom prefix, too few bytes yet, or a byte
// to drop, and after the code byte asks Classify whether the frame is the awaited answer,
// an event or an exceptional event. No socket, lock or thread: the thread does the
// reading, this only decides, so the rules can be tested and fuzzed from byte tables.
// Holds references to the two prefixes; their owner keeps them unchanged while it scans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lyx {

class FrameScanner {
public:
    enum class Step {
        kNeedMore,    // fewer bytes than the window: wait for the rest, consume nothing
        kSkipByte,    // no prefix starts here: drop the first byte and look again
        kFrame,       // the command prefix (or, when it is empty, any frame start)
        kCustomFrame, // the custom prefix: the rest of the frame is the hook's
    };
    enum class Kind { kAnswer, kEvent, kExceptional };

    // windowSize: the number of bytes the receive thread peeks (the prefix length when
    // it started; a later change of the prefix length does not resize its window).
    FrameScanner(const std::string& prefix, const std::string& customPrefix, size_t windowSize)
        : m_prefix(prefix), m_custom(customPrefix), m_windowSize(windowSize) {}

    size_t WindowSize() const { return m_windowSize; }
    // True when frames start with a prefix at all; without one every frame starts with
    // its code byte and nothing is peeked.
    bool HasPrefix() const { return !m_prefix.empty(); }

    // The decision for `got` peeked bytes at `window` (got <= WindowSize()).
    Step Scan(const char* window, size_t got) const;

    // An incoming code is the answer while a request waits for it (even over a registered
    // handler), else an event if a handler is registered, else an exceptional event.
    static Kind Classify(uint8_t code, uint8_t awaitedAnswer, bool handlerRegistered) {
        if (code == awaitedAnswer) {
            return Kind::kAnswer;
        }
        return handlerRegistered ? Kind::kEvent : Kind::kExceptional;
    }

private:
    const std::string& m_prefix;
    const std::string& m_custom;
    size_t m_windowSize;
};

} // namespace lyx
