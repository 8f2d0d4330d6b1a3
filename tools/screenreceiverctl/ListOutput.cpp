#include "ListOutput.h"

#include "TerminalText.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <nlohmann/json.hpp>

namespace ctl {
namespace {

std::string FrameText(const SenderRecord& s) {
    if (s.playing() == 0) {
        return "not shown";
    }
    return s.frameNo() == SenderRecord::kNoFrame ? "shown" : std::to_string(s.frameNo());
}

} // namespace

std::string AddressText(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    in_addr value;
    value.s_addr = address;
    return inet_ntop(AF_INET, &value, text, sizeof(text)) ? text : "?";
}

std::string ListTable(const std::vector<SenderRecord>& senders) {
    // The columns before the name have bounded widths (ten digits, a dotted quad, a
    // frame word); the name, of any length, is appended after them.
    char line[96];
    std::snprintf(line, sizeof(line), "%-10s %-15s %-7s %-9s ", "ID", "IP", "APPTYPE", "FRAME");
    std::string out = std::string(line) + "NAME\n";
    for (const SenderRecord& s : senders) {
        std::snprintf(line, sizeof(line), "%-10u %-15s %-7u %-9s ", s.id(),
                      AddressText(s.ipAddress()).c_str(), s.appType(), FrameText(s).c_str());
        out += line + TerminalText(s.userName()) + "\n";
    }
    return out;
}

std::string ListJson(const std::vector<SenderRecord>& senders) {
    nlohmann::json list = nlohmann::json::array();
    for (const SenderRecord& s : senders) {
        const bool numbered = s.playing() != 0 && s.frameNo() != SenderRecord::kNoFrame;
        list.push_back({{"id", s.id()},
                        {"name", s.userName()},
                        {"ip", AddressText(s.ipAddress())},
                        {"appType", s.appType()},
                        {"shown", s.playing() != 0},
                        {"frame", numbered ? nlohmann::json(s.frameNo()) : nlohmann::json()}});
    }
    const nlohmann::json doc = {{"senders", list}};
    return doc.dump(2, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace ctl
