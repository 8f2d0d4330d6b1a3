// ReceiverService: carries out one request on the model and builds its answer frame,
// then publishes the new state to the state file (if any). It owns the model; the
// server's single thread is the only caller, so no lock.
#pragma once

#include "ReceiverModel.h"

#include <cstdint>
#include <string>

class ReceiverService {
public:
    ReceiverService(ReceiverModel model, bool extended, std::string stateFile);

    struct Outcome {
        std::string answer;  // the full answer frame
        std::string summary; // e.g. "StartPlayImage id=7 frame=2 -> 0"
    };

    // code is one of the seven request codes; payload holds its 32 bytes.
    Outcome Handle(uint8_t code, const std::string& payload);

    // Writes the current state; false (with error) if the file could not be written.
    bool PublishState(std::string& error) const;

private:
    ReceiverModel m_model;
    bool m_extended;
    std::string m_stateFile;
};
