// ScreenReceiverStub: client-side proxy of the device's local screen-receiver service.
//
// Adds to the protocol engine the command prefix "RecvIPC", the fixed endpoint
// 127.0.0.1:19996, one operation per service command (32-byte payloads, 10 s time-outs)
// and the payload readers that decode the answers straight from the socket on the
// receive thread into whatever m_pAnswerDest points at.
// Owns nothing beyond the engine; m_pAnswerDest is not owned. No lock of its own: the
// hand-over of answers is ordered by the engine's request lock and answer wake-up.
#pragma once

#include "ProtocolBase.h"
#include "SenderRecord.h"

#include <cstdint>
#include <string>
#include <vector>

class ScreenReceiverStub : public ProtocolBase {
public:
    static constexpr const char* kServiceIp = "127.0.0.1";
    static constexpr uint16_t kServicePort = 19996;
    static constexpr int kConnectTimeoutSec = 3;
    static constexpr int kCommandTimeoutSec = 10;
    static constexpr size_t kPayloadSize = 32;
    static constexpr uint32_t kReadBudgetMs = 5000; // per Recv call of a payload reader

    ScreenReceiverStub();
    ~ScreenReceiverStub() override;

    virtual int ConnectToReceiver();
    virtual int GetSenderList(std::vector<SenderRecord>* out);
    virtual int GetNonLocalSenderList(std::vector<SenderRecord>* out);
    virtual int GetValidSenderList(std::vector<SenderRecord>* out);
    virtual int StartPlayImage(uint32_t id, uint8_t frame);
    virtual int StopPlayImage(uint32_t id);
    virtual int RefreshConfCtrlTimer();
    virtual int QuitConfCtrl();

protected:
    // Payload readers, run on the receive thread for the awaited answer only. They read
    // from m_Socket themselves and leave `payload` untouched; 0 or -1 means the read
    // failed. A list header or entry that arrives short counts as failed (0).
    int ReadSenderListAnswer(std::string& payload);
    int ReadResultAnswer(std::string& payload);
    int DiscardAnswer(std::string& payload);

    void* m_pAnswerDest;

private:
    int RequestList(uint8_t req, const char* name, std::vector<SenderRecord>* out);
    int RequestResult(uint8_t req, const char* name, const std::string& payload);
    // One consuming read of exactly `length` bytes; a short read is reported as 0, and
    // the socket records why the read came up short.
    int ReadBlock(uint8_t* buffer, uint32_t length);
};
