// StressEngine: the protocol engine as the stress test drives it. Prefix "RecvIPC"; two
// request/answer pairs (0x20/0x21 and 0x22/0x23) whose answers carry the 4-byte sequence
// number of the request; one event (code 0x30, 3 payload bytes, a running number) whose
// handler checks that events arrive in order.
//
// Owns nothing beyond the engine. m_answerSeq is written by the answer reader on the
// receive thread and read by the requesting thread after RequestCommand returned (the
// engine's request lock orders the two). The event counters are atomics written by the
// dispatch thread only.
#pragma once

#include "ProtocolBase.h"

#include <atomic>
#include <cstdint>
#include <string>

class StressEngine : public ProtocolBase {
public:
    static constexpr uint8_t kRequestA = 0x20;
    static constexpr uint8_t kRequestB = 0x22;

    StressEngine();
    ~StressEngine() override;

    // One request with the given sequence number and a 1-second time-out.
    int Request(uint8_t requestCode, uint32_t seq);
    // Sequence number carried by the answer that the last successful request read.
    uint32_t AnswerSeq() const { return m_answerSeq; }

    uint32_t EventsHandled() const { return m_eventsHandled.load(); }
    uint32_t LastEvent() const { return m_lastEvent.load(); }
    uint32_t EventsOutOfOrder() const { return m_outOfOrder.load(); }
    uint32_t AnswersWithoutRequest() const { return m_strayAnswers.load(); }

private:
    int ReadAnswer(std::string& payload);
    int ReadEvent(std::string& payload);
    int OnEvent(const char* payload);
    int ReadExactly(std::string& out, uint32_t n);

    uint32_t m_answerSeq;
    std::atomic<bool> m_waiting{false};
    std::atomic<uint32_t> m_eventsHandled{0};
    std::atomic<uint32_t> m_lastEvent{0};
    std::atomic<uint32_t> m_outOfOrder{0};
    std::atomic<uint32_t> m_strayAnswers{0};
};
