// WireFormat: the receiver protocol's byte layouts as the service side writes them -
// frame prefix, command codes and the answer payloads. Stateless helpers; no locks.
//
// A frame is "RecvIPC", one code byte and a payload whose length the code fixes. Every
// request carries 32 bytes; answers use the request code + 1. Integers are big-endian.
#pragma once

#include "Sender.h"

#include <cstdint>
#include <string>
#include <vector>

class WireFormat {
public:
    static constexpr char kPrefix[] = "RecvIPC";
    static constexpr std::size_t kPrefixSize = 7;
    static constexpr std::size_t kRequestPayloadSize = 32;
    static constexpr std::size_t kRequestFrameSize = kPrefixSize + 1 + kRequestPayloadSize;
    static constexpr std::size_t kListHeaderSize = 32;
    static constexpr std::size_t kBasicEntrySize = 64;
    static constexpr std::size_t kExtendedEntrySize = 128;
    static constexpr std::size_t kNameFieldSize = 48;
    static constexpr uint8_t kNotShownFrame = 0x80;
    static constexpr uint8_t kUnsolicitedCode = 0x42;
    static constexpr std::size_t kUnsolicitedPayloadSize = 8;

    enum Code : uint8_t {
        GetSenderList = 0x10,
        StartPlayImage = 0x12,
        StopPlayImage = 0x14,
        RefreshConfCtrlTimer = 0x16,
        QuitConfCtrl = 0x18,
        GetNonLocalSenderList = 0x1A,
        GetValidSenderList = 0x1C,
    };

    // True for the seven request codes this service understands.
    static bool IsRequestCode(uint8_t code);
    // Command name for a request code, or "Unknown".
    static const char* CommandName(uint8_t code);

    // Full answer frames (prefix, answer code, payload).
    static std::string ListAnswer(uint8_t answerCode, const std::vector<Sender>& senders,
                                  bool extended);
    static std::string ResultAnswer(uint8_t answerCode, int32_t result);
    static std::string EmptyAnswer(uint8_t answerCode);
    // An event frame nobody asked for, code kUnsolicitedCode with 8 payload bytes.
    static std::string UnsolicitedFrame();
    // n bytes that cannot contain (or start) the prefix, to put in front of an answer.
    static std::string Junk(std::size_t n);

    // One list entry. Bytes 4-7 carry the sender's in_addr value (the address in network
    // order as the host holds it in memory) as a big-endian number - the way the client
    // decodes it before handing it to inet_ntoa. On a little-endian host 10.0.0.5 thus
    // goes out as 05 00 00 0A.
    static std::string Entry(const Sender& s, bool extended);
};
