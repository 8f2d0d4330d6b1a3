#include "CgiFrontEnd.h"
#include "XmlReplyWriter.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <string>

namespace {

// Departure: only a request's first 8 actions count (the page sends 1), so none floods the service.
constexpr size_t kMaxActions = 8;

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Leading white space and a sign allowed; 0 when no digit follows. Always 64 bits wide
// (saturating at the 64-bit limits), so that a number wider than 32 bits keeps the same
// low bits on a target whose long has 32 bits.
int64_t ParseDecimal(const char* text) {
    return std::strtoll(text, nullptr, 10);
}

// The index that a "userid" or "sender" name selects: the number after the prefix, cut to
// a signed 32-bit number (its low 32 bits).
int32_t IndexAfter(const char* name, size_t prefixLength) {
    return static_cast<int32_t>(static_cast<uint32_t>(ParseDecimal(name + prefixLength)));
}

// Whether `record` is the sender that a "sender" value names: "<ip>" or "<ip> <name>",
// the address and the name as the page read them from an earlier reply (the name with
// the escape words turned back, so compared in its escaped form).
bool IsSender(const SenderRecord& record, const std::string& shown) {
    in_addr address;
    address.s_addr = record.ipAddress();
    const size_t space = shown.find(' ');
    if (shown.compare(0, space, inet_ntoa(address)) != 0) {
        return false;
    }
    return space == std::string::npos || XmlReplyWriter::EscapeUserName(shown.substr(space + 1)) ==
                                             XmlReplyWriter::EscapeUserName(record.userName());
}

} // namespace

uint8_t CgiFrontEnd::FrameByte(int64_t number) {
    return number == 0 ? SenderRecord::kNoFrame : uint8_t(number & 0xFF);
}

std::vector<CgiFrontEnd::Action>
CgiFrontEnd::PlanActions(char* const* vars, const std::vector<SenderRecord>& senders) {
    std::vector<Action> actions;
    // Extension: "sender<i>=<ip>[ <name>]" skips an action on i if another sender is there now.
    std::map<int32_t, std::string> shown;
    for (size_t i = 0; vars && vars[i]; i += 2) {
        if (StartsWith(vars[i], "sender")) {
            shown[IndexAfter(vars[i], 6)] = vars[i + 1] ? vars[i + 1] : "";
        }
    }

    int32_t selected = 0;
    auto selectedRecord = [&]() -> const SenderRecord* {
        if (selected < 0 || size_t(selected) >= senders.size()) {
            return nullptr;
        }
        const SenderRecord& record = senders[size_t(selected)];
        const auto expected = shown.find(selected);
        return expected == shown.end() || IsSender(record, expected->second) ? &record : nullptr;
    };

    size_t count = 0;
    for (size_t i = 0; vars && vars[i]; i += 2) {
        const char* name = vars[i];
        const char* value = vars[i + 1] ? vars[i + 1] : "";
        if (StartsWith(name, "sender")) {
            continue; // its value names a sender, it asks for nothing
        }
        if ((StartsWith(name, "logout") || StartsWith(value, "Play") ||
             StartsWith(value, "Stop")) &&
            ++count > kMaxActions) {
            break;
        }

        if (StartsWith(name, "logout")) {
            actions.push_back(Action{Action::kQuit, 0, 0});
            break;
        }
        if (StartsWith(name, "userid")) {
            selected = IndexAfter(name, 6);
        }

        // An index that names no record of the list, or another sender than the page
        // showed, is skipped: sending some other id would act on the wrong sender.
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
