#include "ReceiverService.h"

#include "AtomicFile.h"
#include "SimLog.h"
#include "WireFormat.h"

#include <cstdio>

namespace {

uint32_t Be32(const std::string& b, std::size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3]));
}

std::string Hex(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", v);
    return text;
}

} // namespace

ReceiverService::ReceiverService(ReceiverModel model, bool extended, std::string stateFile)
    : m_model(std::move(model)), m_extended(extended), m_stateFile(std::move(stateFile)) {}

ReceiverService::Outcome ReceiverService::Handle(uint8_t code, const std::string& payload) {
    const uint8_t answerCode = static_cast<uint8_t>(code + 1);
    const std::string name = WireFormat::CommandName(code);
    Outcome out;
    auto list = [&](ReceiverModel::ListKind kind) {
        const auto senders = m_model.List(kind);
        out.answer = WireFormat::ListAnswer(answerCode, senders, m_extended);
        out.summary = name + " -> " + std::to_string(senders.size()) + " sender(s)";
    };
    switch (code) {
    case WireFormat::GetSenderList:
        list(ReceiverModel::ListKind::All);
        break;
    case WireFormat::GetNonLocalSenderList:
        list(ReceiverModel::ListKind::NonLocal);
        break;
    case WireFormat::GetValidSenderList:
        list(ReceiverModel::ListKind::Valid);
        break;
    case WireFormat::StartPlayImage: {
        const uint32_t id = Be32(payload, 0);
        const uint8_t frame = static_cast<uint8_t>(payload[4]);
        const int32_t result = m_model.StartPlayImage(id, frame);
        out.answer = WireFormat::ResultAnswer(answerCode, result);
        out.summary = name + " id=" + std::to_string(id) + " frame=" +
                      (frame == ReceiverModel::kAnyFrame ? "0x80" : std::to_string(frame)) +
                      " -> " + std::to_string(result);
        break;
    }
    case WireFormat::StopPlayImage: {
        const uint32_t id = Be32(payload, 0);
        const int32_t result = m_model.StopPlayImage(id);
        out.answer = WireFormat::ResultAnswer(answerCode, result);
        out.summary = name + " id=" + std::to_string(id) + " -> " + std::to_string(result);
        break;
    }
    case WireFormat::RefreshConfCtrlTimer:
        m_model.RefreshConfCtrlTimer();
        out.answer = WireFormat::EmptyAnswer(answerCode);
        out.summary = name + " -> ack";
        break;
    case WireFormat::QuitConfCtrl:
        m_model.QuitConfCtrl();
        out.answer = WireFormat::EmptyAnswer(answerCode);
        out.summary = name + " -> ack";
        break;
    default:
        // The parser hands over request codes only; keep the server alive regardless.
        out.summary = "unexpected code " + Hex(code) + " ignored";
        return out;
    }
    m_model.CountCommand(name);
    std::string error;
    if (!PublishState(error)) {
        SimLog::Info("state file not updated: " + error);
    }
    return out;
}

bool ReceiverService::PublishState(std::string& error) const {
    if (m_stateFile.empty()) {
        return true;
    }
    return AtomicFile::Write(m_stateFile, m_model.StateJson(), error);
}
