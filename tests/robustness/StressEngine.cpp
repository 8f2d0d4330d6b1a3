#include "StressEngine.h"

#include "StressPeer.h"

#include <cerrno>

namespace {

uint32_t Be(const std::string& bytes) {
    uint32_t v = 0;
    for (unsigned char c : bytes) {
        v = (v << 8) | c;
    }
    return v;
}

} // namespace

StressEngine::StressEngine() : m_answerSeq(0) {
    SetCmdPrefix("RecvIPC", 7);
    for (uint8_t req : {kRequestA, kRequestB}) {
        m_ReadHandlers[req + 1] = static_cast<ReadHandler>(&StressEngine::ReadAnswer);
    }
    m_ReadHandlers[StressPeer::kEventCode] = static_cast<ReadHandler>(&StressEngine::ReadEvent);
    m_EventHandlers[StressPeer::kEventCode] = static_cast<EventHandler>(&StressEngine::OnEvent);
}

StressEngine::~StressEngine() {
    // Our readers and handler run on the engine's threads: stop those while we exist.
    CloseConnect();
    JoinThread(m_pCloseThread);
    JoinThread(m_pDispatcherThread);
}

int StressEngine::Request(uint8_t requestCode, uint32_t seq) {
    std::string payload(4, '\0');
    payload[0] = char(seq >> 24);
    payload[1] = char(seq >> 16);
    payload[2] = char(seq >> 8);
    payload[3] = char(seq);
    m_waiting = true;
    const int result =
        RequestCommand(requestCode, requestCode + 1, "StressRequest", payload, true, 1);
    m_waiting = false;
    return result;
}

int StressEngine::ReadExactly(std::string& out, uint32_t n) {
    out.assign(n, '\0');
    const int got = m_Socket.Recv(&out[0], n, 0, kRecvBudgetMs);
    if (got != int(n)) {
        errno = 0;
        return 0;
    }
    return got;
}

int StressEngine::ReadAnswer(std::string& /*payload*/) {
    if (!m_waiting.load()) {
        ++m_strayAnswers;
    }
    std::string bytes;
    const int got = ReadExactly(bytes, 4);
    if (got > 0) {
        m_answerSeq = Be(bytes);
    }
    return got;
}

int StressEngine::ReadEvent(std::string& payload) {
    return ReadExactly(payload, uint32_t(StressPeer::kEventSize));
}

int StressEngine::OnEvent(const char* payload) {
    const uint32_t n = Be(std::string(payload, StressPeer::kEventSize));
    // The peer numbers its events from 1 on each connection (one engine per connection),
    // and none may be lost or reordered before the connection ends.
    if (n != m_lastEvent.load() + 1) {
        ++m_outOfOrder;
    }
    m_lastEvent = n;
    ++m_eventsHandled;
    return 0;
}
