// TextConv: a fixed-size copy of a text, handed out in its narrow (multibyte) form.
//
// Used on the way into the log and the error record. A text longer than the narrow
// buffer is cut to it (always NUL-terminated); nothing is ever written past a buffer.
// Owns nothing outside itself; no locking (one object per use, on one thread).
#pragma once

#include <cstdint>
#include <cwchar>

namespace lyx {

class TextConv {
public:
    static constexpr unsigned kNarrowSize = 2051;
    static constexpr unsigned kWideSize = 1024;

    explicit TextConv(const char* text);
    explicit TextConv(const wchar_t* text);
    ~TextConv() {}

    const char* ToNarrow();

private:
    uint8_t m_bWide;
    char m_szNarrow[kNarrowSize];
    wchar_t m_szWide[kWideSize];
};

} // namespace lyx
