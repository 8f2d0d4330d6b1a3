#include "ScreenReceiverStub.h"

#include "BigEndian.h"

namespace {

// Request codes; each answer code is its request code plus one.
constexpr uint8_t kGetSenderList = 0x10;
constexpr uint8_t kStartPlayImage = 0x12;
constexpr uint8_t kStopPlayImage = 0x14;
constexpr uint8_t kRefreshConfCtrlTimer = 0x16;
constexpr uint8_t kQuitConfCtrl = 0x18;
constexpr uint8_t kGetNonLocalSenderList = 0x1A;
constexpr uint8_t kGetValidSenderList = 0x1C;

constexpr size_t kListHeaderSize = 32;
constexpr size_t kResultSize = 32;
constexpr size_t kEmptyAnswerSize = 32;

// Every request carries 32 bytes; multi-byte fields are big-endian.
std::string IdPayload(uint32_t id) {
    std::string payload(ScreenReceiverStub::kPayloadSize, '\0');
    StoreBigEndian32(&payload[0], id);
    return payload;
}

} // namespace

ScreenReceiverStub::ScreenReceiverStub() : m_pAnswerDest(nullptr) {
    SetCmdPrefix("RecvIPC", 7);
    m_ReadHandlers[kGetSenderList + 1] =
        static_cast<ReadHandler>(&ScreenReceiverStub::ReadSenderListAnswer);
    m_ReadHandlers[kStartPlayImage + 1] =
        static_cast<ReadHandler>(&ScreenReceiverStub::ReadResultAnswer);
    m_ReadHandlers[kStopPlayImage + 1] =
        static_cast<ReadHandler>(&ScreenReceiverStub::ReadResultAnswer);
    m_ReadHandlers[kRefreshConfCtrlTimer + 1] =
        static_cast<ReadHandler>(&ScreenReceiverStub::DiscardAnswer);
    m_ReadHandlers[kQuitConfCtrl + 1] =
        static_cast<ReadHandler>(&ScreenReceiverStub::DiscardAnswer);
    m_ReadHandlers[kGetNonLocalSenderList + 1] =
        static_cast<ReadHandler>(&ScreenReceiverStub::ReadSenderListAnswer);
    m_ReadHandlers[kGetValidSenderList + 1] =
        static_cast<ReadHandler>(&ScreenReceiverStub::ReadSenderListAnswer);
}

ScreenReceiverStub::~ScreenReceiverStub() {
    // Stop every engine thread while this part of the object still exists: the receive
    // thread runs our readers and the close thread calls virtual hooks, so neither may
    // outlive the derived part. The engine's destructor then finds nothing left to join.
    StopThreads();
}

int ScreenReceiverStub::ConnectToReceiver() {
    std::vector<uint16_t> vecPort{kServicePort};
    return OpenConnect(kServiceIp, vecPort, 0, kConnectTimeoutSec);
}

int ScreenReceiverStub::GetSenderList(std::vector<SenderRecord>* out) {
    return RequestList(kGetSenderList, "GetSenderList", out);
}

int ScreenReceiverStub::GetNonLocalSenderList(std::vector<SenderRecord>* out) {
    return RequestList(kGetNonLocalSenderList, "GetNonLocalSenderList", out);
}

int ScreenReceiverStub::GetValidSenderList(std::vector<SenderRecord>* out) {
    return RequestList(kGetValidSenderList, "GetValidSenderList", out);
}

int ScreenReceiverStub::StartPlayImage(uint32_t id, uint8_t frame) {
    std::string payload = IdPayload(id);
    payload[4] = char(frame);
    return RequestResult(kStartPlayImage, "StartPlayImage", payload);
}

int ScreenReceiverStub::StopPlayImage(uint32_t id) {
    return RequestResult(kStopPlayImage, "StopPlayImage", IdPayload(id));
}

int ScreenReceiverStub::RefreshConfCtrlTimer() {
    return RequestCommand(kRefreshConfCtrlTimer, kRefreshConfCtrlTimer + 1, "RefreshConfCtrlTimer",
                          std::string(kPayloadSize, '\0'), true, kCommandTimeoutSec);
}

int ScreenReceiverStub::QuitConfCtrl() {
    return RequestCommand(kQuitConfCtrl, kQuitConfCtrl + 1, "QuitConfCtrl",
                          std::string(kPayloadSize, '\0'), true, kCommandTimeoutSec);
}

int ScreenReceiverStub::RequestList(uint8_t req, const char* name, std::vector<SenderRecord>* out) {
    std::string payload(kPayloadSize, '\0');
    payload[0] = 1;
    m_pAnswerDest = out;
    return RequestCommand(req, req + 1, name, payload, true, kCommandTimeoutSec);
}

int ScreenReceiverStub::RequestResult(uint8_t req, const char* name, const std::string& payload) {
    int32_t result = 0;
    m_pAnswerDest = &result;
    const int sent = RequestCommand(req, req + 1, name, payload, true, kCommandTimeoutSec);
    if (sent < 0) {
        return sent;
    }
    // The service's verdict becomes our last error: a failure is described by the error
    // table and logged, a success clears whatever was recorded before.
    LYX_SET_ERROR(result, "", "");
    return result;
}

int ScreenReceiverStub::ReadBlock(uint8_t* buffer, uint32_t length) {
    int got = m_Socket.Recv(reinterpret_cast<char*>(buffer), length, 0, kReadBudgetMs);
    // A block that arrived only in part fails the read (the socket records the budget
    // running out): the rest of the buffer would still hold bytes of an earlier block.
    return got == int(length) || got == -1 ? got : 0;
}

int ScreenReceiverStub::ReadSenderListAnswer(std::string& /*payload*/) {
    // A caller that passed no vector still gets the answer consumed, so the stream stays
    // in step.
    std::vector<SenderRecord> unwanted;
    auto* out = m_pAnswerDest ? static_cast<std::vector<SenderRecord>*>(m_pAnswerDest) : &unwanted;

    uint8_t header[kListHeaderSize];
    int got = ReadBlock(header, kListHeaderSize);
    if (got <= 0) {
        return got;
    }
    const size_t count = (size_t(header[0]) << 8) | header[1];
    const bool extended = header[2] != 0;
    const uint32_t entrySize =
        extended ? SenderRecord::kExtendedEntrySize : SenderRecord::kBasicEntrySize;

    // Records that stay are overwritten in place, so fields an entry does not carry (the
    // extended tail of a basic entry) keep their earlier values.
    out->resize(count);

    uint8_t entry[SenderRecord::kExtendedEntrySize];
    for (size_t i = 0; i < count; ++i) {
        got = ReadBlock(entry, entrySize);
        if (got <= 0) {
            return got;
        }
        (*out)[i].DecodeEntry(entry, extended);
    }
    return got;
}

int ScreenReceiverStub::ReadResultAnswer(std::string& /*payload*/) {
    // Bytes that do not arrive count as zero.
    uint8_t buffer[kResultSize] = {};
    int got = m_Socket.Recv(reinterpret_cast<char*>(buffer), kResultSize, 0, kReadBudgetMs);
    *static_cast<int32_t*>(m_pAnswerDest) = int32_t(LoadBigEndian32(buffer));
    return got;
}

int ScreenReceiverStub::DiscardAnswer(std::string& /*payload*/) {
    char scratch[kEmptyAnswerSize];
    return m_Socket.Recv(scratch, kEmptyAnswerSize, 0, kReadBudgetMs);
}
