#include "WireFormat.h"

#include <algorithm>
#include <cstring>

namespace {

void PutBe16(std::string& buf, std::size_t at, uint16_t v) {
    buf[at] = static_cast<char>(v >> 8);
    buf[at + 1] = static_cast<char>(v & 0xFF);
}

void PutBe32(std::string& buf, std::size_t at, uint32_t v) {
    buf[at] = static_cast<char>(v >> 24);
    buf[at + 1] = static_cast<char>((v >> 16) & 0xFF);
    buf[at + 2] = static_cast<char>((v >> 8) & 0xFF);
    buf[at + 3] = static_cast<char>(v & 0xFF);
}

std::string FrameStart(uint8_t code) {
    std::string frame(WireFormat::kPrefix, WireFormat::kPrefixSize);
    frame.push_back(static_cast<char>(code));
    return frame;
}

} // namespace

bool WireFormat::IsRequestCode(uint8_t code) {
    return code >= GetSenderList && code <= GetValidSenderList && (code % 2) == 0;
}

const char* WireFormat::CommandName(uint8_t code) {
    switch (code) {
    case GetSenderList:
        return "GetSenderList";
    case StartPlayImage:
        return "StartPlayImage";
    case StopPlayImage:
        return "StopPlayImage";
    case RefreshConfCtrlTimer:
        return "RefreshConfCtrlTimer";
    case QuitConfCtrl:
        return "QuitConfCtrl";
    case GetNonLocalSenderList:
        return "GetNonLocalSenderList";
    case GetValidSenderList:
        return "GetValidSenderList";
    default:
        return "Unknown";
    }
}

std::string WireFormat::Entry(const Sender& s, bool extended) {
    std::string e(extended ? kExtendedEntrySize : kBasicEntrySize, '\0');
    PutBe32(e, 0, s.id);
    uint32_t inAddr = 0;
    std::memcpy(&inAddr, s.ip.data(), 4);
    PutBe32(e, 4, inAddr);
    // A 48-byte name fills the field without terminator; the client takes at most 48.
    e.replace(8, std::min(s.name.size(), kNameFieldSize), s.name, 0, kNameFieldSize);
    const bool shown = s.frame != 0;
    PutBe16(e, 56, shown ? 1 : 0);
    e[58] = static_cast<char>(shown ? s.frame : kNotShownFrame);
    if (extended) {
        PutBe16(e, 59, 0); // extField1: no meaning known, sent as 0
        PutBe16(e, 61, s.appType);
        PutBe16(e, 63, 0); // extField3: likewise
    }
    return e;
}

std::string WireFormat::ListAnswer(uint8_t answerCode, const std::vector<Sender>& senders,
                                   bool extended) {
    std::string frame = FrameStart(answerCode);
    std::string header(kListHeaderSize, '\0');
    PutBe16(header, 0, static_cast<uint16_t>(senders.size()));
    header[2] = extended ? 1 : 0;
    frame += header;
    for (const Sender& s : senders) {
        frame += Entry(s, extended);
    }
    return frame;
}

std::string WireFormat::ResultAnswer(uint8_t answerCode, int32_t result) {
    std::string payload(kRequestPayloadSize, '\0');
    PutBe32(payload, 0, static_cast<uint32_t>(result));
    return FrameStart(answerCode) + payload;
}

std::string WireFormat::EmptyAnswer(uint8_t answerCode) {
    return FrameStart(answerCode) + std::string(kRequestPayloadSize, '\0');
}

std::string WireFormat::UnsolicitedFrame() {
    std::string frame = FrameStart(kUnsolicitedCode);
    for (std::size_t i = 1; i <= kUnsolicitedPayloadSize; ++i) {
        frame.push_back(static_cast<char>(i));
    }
    return frame;
}

std::string WireFormat::Junk(std::size_t n) {
    // A varied pattern that never holds 'R', the prefix's first byte.
    static const char pattern[] = {'\x00', '\xA5', 'x', '\xFF', 'I', '\x7F', '\x01', 'C', 'e'};
    std::string junk(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        junk[i] = pattern[i % sizeof(pattern)];
    }
    return junk;
}
