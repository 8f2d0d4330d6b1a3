// Sender: one sender as the simulated receiver knows it. A plain value; the model owns
// the list, so there is nothing to lock here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct Sender {
    uint32_t id = 0;
    std::array<uint8_t, 4> ip{}; // dotted-quad order: 10.0.0.5 is {10, 0, 0, 5}
    std::string name;            // at most 48 bytes, no NUL
    uint16_t appType = 0;
    bool local = false; // left out of GetNonLocalSenderList
    bool valid = true;  // listed by GetValidSenderList
    uint8_t frame = 0;  // 0: not shown; 1-4: shown in that frame

    std::string IpText() const {
        return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) +
               "." + std::to_string(ip[3]);
    }
};
