// The sender list as `list` writes it: a table for people, its names through TerminalText,
// and a JSON document for scripts, ASCII only (other characters as \u escapes, bytes that
// are not UTF-8 as U+FFFD). Pure functions that return the whole text, so that the caller
// writes it in one go and tests read it from memory; no state, no locks.
#pragma once

#include <SenderRecord.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ctl {

// An address as a record holds it (an in_addr value), dotted.
std::string AddressText(uint32_t address);

// A header line, then one line a sender: id, IP, application type, frame ("not shown",
// "shown" when the receiver picked none, or its number) and name.
std::string ListTable(const std::vector<SenderRecord>& senders);

// {"senders": [{"id", "name", "ip", "appType", "shown", "frame"}, ...]} indented by two,
// with a final newline; "frame" is null unless the sender is shown in a numbered frame.
std::string ListJson(const std::vector<SenderRecord>& senders);

} // namespace ctl
