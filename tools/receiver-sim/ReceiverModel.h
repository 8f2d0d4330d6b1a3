// ReceiverModel: the simulated receiver's state - its senders, which sender each of the
// four frames shows, and how often each command came in. It owns the sender list. No
// lock: the server runs on one thread, so every command sees and leaves one consistent
// state.
//
// Rules: showing a sender in a frame takes the frame over (the previous occupant stops
// being shown); a sender shown elsewhere moves. Frame kAnyFrame picks the first free frame
// (frame 1 when all are taken) and leaves an already shown sender where it is.
#pragma once

#include "Sender.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ReceiverModel {
public:
    static constexpr int32_t kStartRefused = -6528302; // unknown sender or bad frame
    static constexpr int32_t kStopFailed = -6528303;   // unknown sender or not shown
    static constexpr uint8_t kAnyFrame = 0x80;
    static constexpr uint8_t kFrameCount = 4;

    enum class ListKind { All, NonLocal, Valid };

    explicit ReceiverModel(std::vector<Sender> senders);

    // Both return 0 or one of the error codes above.
    int32_t StartPlayImage(uint32_t id, uint8_t frame);
    int32_t StopPlayImage(uint32_t id);
    void RefreshConfCtrlTimer() { ++m_refreshCount; }
    // Leaving conference control is acknowledged and counted; frames keep what they show.
    void QuitConfCtrl() { ++m_quitCount; }

    std::vector<Sender> List(ListKind kind) const;
    // Counts one request under its command name (for the state file).
    void CountCommand(const std::string& name) { ++m_commandCounts[name]; }

    // The whole state as a JSON document (pretty-printed, ends with a newline).
    std::string StateJson() const;

private:
    Sender* Find(uint32_t id);

    std::vector<Sender> m_senders; // list order is the order of every list answer
    unsigned long m_refreshCount = 0;
    unsigned long m_quitCount = 0;
    std::map<std::string, unsigned long> m_commandCounts;
};
