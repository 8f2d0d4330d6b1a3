#include "CgiFrontEnd.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Leading white space and a sign allowed; 0 when no digit follows. Always 64 bits wide
// (saturating at the 64-bit limits), so that a number wider than 32 bits keeps the same
// low bits on a target whose long has 32 bits.
int64_t ParseDecimal(const char* text) {
    return std::strtoll(text, nullptr, 10);
}

} // namespace

uint8_t CgiFrontEnd::FrameByte(int64_t number) {
    return number == 0 ? SenderRecord::kNoFrame : uint8_t(number & 0xFF);
}

std::vector<CgiFrontEnd::Action>
CgiFrontEnd::PlanActions(char* const* vars, const std::vector<SenderRecord>& senders) {
    std::vector<Action> actions;
    // The selected index is a signed 32-bit number: the parsed value keeps its low 32 bits.
    int32_t selected = 0;
    auto selectedRecord = [&]() -> const SenderRecord* {
        if (selected < 0 || size_t(selected) >= senders.size()) {
            return nullptr;
        }
        return &senders[size_t(selected)];
    };

    for (size_t i = 0; vars && vars[i]; i += 2) {
        const char* name = vars[i];
        const char* value = vars[i + 1] ? vars[i + 1] : "";

        if (StartsWith(name, "logout")) {
            actions.push_back(Action{Action::kQuit, 0, 0});
            break;
        }
        if (StartsWith(name, "userid")) {
            selected = static_cast<int32_t>(static_cast<uint32_t>(ParseDecimal(name + 6)));
        }

        // An index that names no record of the list is skipped: there is no sender to
        // address, and sending some other id would act on the wrong sender.
        if (StartsWith(value, "Play")) {
            std::string number(value + 4, std::strcspn(value + 4, "_"));
            if (const SenderRecord* record = selectedRecord()) {
                actions.push_back(
                    Action{Action::kStart, record->id(), FrameByte(ParseDecimal(number.c_str()))});
            }
        } else if (StartsWith(value, "Stop")) {
            if (const SenderRecord* record = selectedRecord()) {
                actions.push_back(Action{Action::kStop, record->id(), 0});
            }
        }
    }
    return actions;
}
