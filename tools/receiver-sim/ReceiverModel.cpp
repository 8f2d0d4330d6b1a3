#include "ReceiverModel.h"

#include <nlohmann/json.hpp>

ReceiverModel::ReceiverModel(std::vector<Sender> senders) : m_senders(std::move(senders)) {}

Sender* ReceiverModel::Find(uint32_t id) {
    for (Sender& s : m_senders) {
        if (s.id == id) {
            return &s;
        }
    }
    return nullptr;
}

int32_t ReceiverModel::StartPlayImage(uint32_t id, uint8_t frame) {
    Sender* sender = Find(id);
    if (sender == nullptr) {
        return kStartRefused;
    }
    if (frame == kAnyFrame) {
        if (sender->frame != 0) {
            return 0; // already shown: no reason to move it
        }
        bool taken[kFrameCount + 1] = {};
        for (const Sender& s : m_senders) {
            taken[s.frame] = true;
        }
        frame = 1;
        for (uint8_t f = 1; f <= kFrameCount; ++f) {
            if (!taken[f]) {
                frame = f;
                break;
            }
        }
    } else if (frame < 1 || frame > kFrameCount) {
        return kStartRefused;
    }
    for (Sender& s : m_senders) {
        if (s.frame == frame && &s != sender) {
            s.frame = 0;
        }
    }
    sender->frame = frame;
    return 0;
}

int32_t ReceiverModel::StopPlayImage(uint32_t id) {
    Sender* sender = Find(id);
    if (sender == nullptr || sender->frame == 0) {
        return kStopFailed;
    }
    sender->frame = 0;
    return 0;
}

std::vector<Sender> ReceiverModel::List(ListKind kind) const {
    std::vector<Sender> out;
    for (const Sender& s : m_senders) {
        if ((kind == ListKind::NonLocal && s.local) || (kind == ListKind::Valid && !s.valid)) {
            continue;
        }
        out.push_back(s);
    }
    return out;
}

std::string ReceiverModel::StateJson() const {
    using nlohmann::json;
    json senders = json::array();
    json frames = json::object();
    for (uint8_t f = 1; f <= kFrameCount; ++f) {
        frames[std::to_string(f)] = nullptr;
    }
    for (const Sender& s : m_senders) {
        senders.push_back({{"id", s.id},
                           {"ip", s.IpText()},
                           {"name", s.name},
                           {"appType", s.appType},
                           {"local", s.local},
                           {"valid", s.valid},
                           {"frame", s.frame}});
        if (s.frame != 0) {
            frames[std::to_string(s.frame)] = s.id;
        }
    }
    json doc = {{"senders", senders},
                {"frames", frames},
                {"quitConfCtrl", m_quitCount},
                {"refreshConfCtrlTimer", m_refreshCount},
                {"commands", m_commandCounts}};
    // Names are bytes as configured; replace rather than throw on invalid UTF-8.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
