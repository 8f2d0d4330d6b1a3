// SenderRecord: one sender of the receiver service's list, a plain copyable value.
//
// Fields are read through accessors of the same name. DecodeEntry fills a record from one
// wire entry (64-byte basic or 128-byte extended, big-endian fields); it is a pure
// function of the bytes so that it can be tested and fuzzed without a connection.
// Owns only its own fields; no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SenderRecord {
public:
    static constexpr size_t kBasicEntrySize = 64;
    static constexpr size_t kExtendedEntrySize = 128;
    static constexpr size_t kUserNameSize = 48;
    static constexpr uint8_t kNoFrame = 0x80;

    SenderRecord() = default;

    uint32_t id() const { return m_id; }
    uint32_t ipAddress() const { return m_ipAddress; }
    const std::string& userName() const { return m_userName; }
    uint32_t playing() const { return m_playing; }
    uint8_t frameNo() const { return m_frameNo; }
    uint32_t extField1() const { return m_extField1; }
    uint32_t appType() const { return m_appType; }
    uint32_t extField3() const { return m_extField3; }
    uint8_t reserved1() const { return m_reserved1; }
    uint8_t reserved2() const { return m_reserved2; }
    uint16_t reserved3() const { return m_reserved3; }
    uint8_t reserved4() const { return m_reserved4; }

    // Overwrites id, ipAddress, userName, playing and frameNo from entry (at least 64
    // bytes); with extended set also extField1, appType and extField3 (entry then holds
    // at least 128 bytes). Fields not named keep their values; reserved fields are never
    // written.
    void DecodeEntry(const uint8_t* entry, bool extended);

private:
    uint32_t m_id = 0;
    uint32_t m_ipAddress = 0;
    std::string m_userName;
    uint32_t m_playing = 0;
    uint8_t m_frameNo = kNoFrame;
    uint32_t m_extField1 = 0;
    uint32_t m_appType = 0;
    uint32_t m_extField3 = 0;
    uint8_t m_reserved1 = 0;
    uint8_t m_reserved2 = 0;
    uint16_t m_reserved3 = 0;
    uint8_t m_reserved4 = 0;
};
