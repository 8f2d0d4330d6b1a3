#include "TerminalText.h"

#include <cstdint>
#include <cstdio>

namespace ctl {
namespace {

// Length of the well-formed UTF-8 sequence at s[i] and its code point, or 0 when the
// bytes there are not one (a stray or overlong byte, a surrogate, past U+10FFFF).
size_t DecodeUtf8(const std::string& s, size_t i, uint32_t* cp) {
    const unsigned char lead = s[i];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || i + length > s.size()) {
        return 0;
    }
    uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = s[i + k];
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *cp = value;
    return length;
}

// Characters that would act on the terminal or reorder the text around them: C0 and C1
// controls, DEL, and the bidirectional marks, embeddings, overrides and isolates.
bool NeedsEscape(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E ||
           cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

} // namespace

std::string TerminalText(const std::string& text) {
    std::string out;
    char buf[16];
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t length = DecodeUtf8(text, i, &cp);
        if (length == 0 || (length == 1 && NeedsEscape(cp))) {
            std::snprintf(buf, sizeof(buf), "\\x%02X", static_cast<unsigned char>(text[i]));
            out += buf;
            i += 1;
            continue;
        }
        if (NeedsEscape(cp)) {
            std::snprintf(buf, sizeof(buf), "\\u{%04X}", static_cast<unsigned>(cp));
            out += buf;
        } else if (cp == '\\') {
            out += "\\\\";
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

} // namespace ctl
