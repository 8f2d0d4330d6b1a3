// Byte builders for the receiver protocol: frames, big-endian fields, list headers and
// sender entries, shared by every test that plays the service or checks its bytes.
#pragma once

#include <cstdint>
#include <string>

namespace wire {

inline std::string Be16(uint32_t v) {
    return {char(v >> 8), char(v)};
}
inline std::string Be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline std::string Zeros(size_t n) {
    return std::string(n, '\0');
}

// prefix, code, payload
inline std::string Frame(uint8_t code, const std::string& payload = "",
                         const std::string& prefix = "RecvIPC") {
    return prefix + char(code) + payload;
}

// `flag`: 0 for basic entries; any other value announces extended ones.
inline std::string ListHeader(uint16_t count, uint8_t flag) {
    return Be16(count) + char(flag) + Zeros(29);
}

struct EntryFields {
    uint32_t id = 0;
    uint32_t ip = 0; // as sent on the wire, big-endian
    std::string name = "";
    uint16_t playing = 0;
    uint8_t frame = 0x80;
    uint16_t ext1 = 0, appType = 0, ext3 = 0; // extended entries only
};

// One 64-byte (basic) or 128-byte (extended) entry. The bytes that carry nothing are
// noisy, so a decoder that reads them would show.
inline std::string Entry(const EntryFields& f, bool extended) {
    std::string name = f.name.substr(0, 48);
    std::string e =
        Be32(f.id) + Be32(f.ip) + name + Zeros(48 - name.size()) + Be16(f.playing) + char(f.frame);
    if (!extended) {
        return e + std::string(5, '\x5A');
    }
    return e + Be16(f.ext1) + Be16(f.appType) + Be16(f.ext3) + std::string(63, '\x5A');
}

} // namespace wire
