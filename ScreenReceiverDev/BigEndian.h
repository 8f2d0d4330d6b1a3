// Big-endian integer fields of the service's payloads: reading them from received bytes
// and writing them into request payloads. Plain functions over caller-owned buffers.
#pragma once

#include <cstdint>

inline uint32_t LoadBigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline uint32_t LoadBigEndian16(const uint8_t* p) {
    return (uint32_t(p[0]) << 8) | p[1];
}

inline void StoreBigEndian32(char* p, uint32_t value) {
    p[0] = char(value >> 24);
    p[1] = char(value >> 16);
    p[2] = char(value >> 8);
    p[3] = char(value);
}
