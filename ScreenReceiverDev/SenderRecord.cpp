#include "SenderRecord.h"

#include "BigEndian.h"

#include <cstring>

namespace {

// Offsets inside one wire entry.
constexpr size_t kIdOffset = 0;
constexpr size_t kIpOffset = 4;
constexpr size_t kNameOffset = 8;
constexpr size_t kPlayingOffset = 56;
constexpr size_t kFrameOffset = 58;
constexpr size_t kExtField1Offset = 59;
constexpr size_t kAppTypeOffset = 61;
constexpr size_t kExtField3Offset = 63;

} // namespace

void SenderRecord::DecodeEntry(const uint8_t* entry, bool extended) {
    m_id = LoadBigEndian32(entry + kIdOffset);
    // Kept as the 32-bit value the service sent; the front end hands it to inet_ntoa as is.
    m_ipAddress = LoadBigEndian32(entry + kIpOffset);

    // The name field need not be terminated: then all 48 bytes are the name.
    const uint8_t* name = entry + kNameOffset;
    const void* zero = std::memchr(name, 0, kUserNameSize);
    size_t nameLength = zero ? size_t(static_cast<const uint8_t*>(zero) - name) : kUserNameSize;
    m_userName.assign(reinterpret_cast<const char*>(name), nameLength);

    m_playing = LoadBigEndian16(entry + kPlayingOffset);
    m_frameNo = entry[kFrameOffset];

    // A basic entry has no tail: these keep whatever the record held before.
    if (extended) {
        m_extField1 = LoadBigEndian16(entry + kExtField1Offset);
        m_appType = LoadBigEndian16(entry + kAppTypeOffset);
        m_extField3 = LoadBigEndian16(entry + kExtField3Offset);
    }
}
