#include "TextConv.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace lyx {

namespace {
// Copies at most size-1 bytes and always terminates: a longer text is cut.
void CopyCut(char* dest, size_t size, const char* src) {
    size_t n = src ? std::strlen(src) : 0;
    if (n >= size) {
        n = size - 1;
    }
    if (n > 0) {
        std::memcpy(dest, src, n);
    }
    dest[n] = '\0';
}
} // namespace

TextConv::TextConv(const char* text) : m_bWide(0) {
    CopyCut(m_szNarrow, sizeof(m_szNarrow), text);
    m_szWide[0] = L'\0';
}

TextConv::TextConv(const wchar_t* text) : m_bWide(1) {
    m_szNarrow[0] = '\0';
    size_t n = text ? std::wcslen(text) : 0;
    if (n >= kWideSize) {
        n = kWideSize - 1;
    }
    if (n > 0) {
        std::wmemcpy(m_szWide, text, n);
    }
    m_szWide[n] = L'\0';
}

const char* TextConv::ToNarrow() {
    if (!m_bWide) {
        return m_szNarrow;
    }
    // Allow MB_CUR_MAX bytes per wide character, but never more than the narrow buffer.
    size_t allowed = MB_CUR_MAX * std::wcslen(m_szWide) + 1;
    if (allowed > sizeof(m_szNarrow)) {
        allowed = sizeof(m_szNarrow);
    }
    size_t n = std::wcstombs(m_szNarrow, m_szWide, allowed);
    if (n == static_cast<size_t>(-1)) {
        CopyCut(m_szNarrow, sizeof(m_szNarrow), "conversion ERROR!");
    } else if (n >= allowed) {
        m_szNarrow[allowed - 1] = '\0'; // wcstombs does not terminate a full buffer
    }
    return m_szNarrow;
}

} // namespace lyx
