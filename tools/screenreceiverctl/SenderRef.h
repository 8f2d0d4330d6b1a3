// SenderRef: what a SENDER argument names. A sender is named by its service id, its IPv4
// address or its exact name, never by a position in the list: the list can change between
// two runs, an id cannot name another sender. Parse reads the argument; Resolve finds the
// one sender it names in a list, or says why there is none (not found, or several fit).
// A plain value that owns its text; no locks.
#pragma once

#include <SenderRecord.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ctl {

// A decimal number of one to ten digits that fits 32 bits: an id, or a frame number.
bool ParseDecimal(const std::string& text, uint32_t* value);

class SenderRef {
public:
    enum Kind { kId, kAddress, kName };

    // A bare number is an id, a dotted address an address, anything else a name; the
    // prefixes id:, ip: and name: say which. False when arg cannot name a sender at all:
    // it is empty, or id: or ip: is followed by something that is not one.
    bool Parse(const std::string& arg);

    // The one sender of senders this names. Otherwise null, and *error says why: no sender
    // fits, or several do, listed a line each (id, address and name) so that the user can
    // pick one by its id. Names in the message are terminal-safe.
    const SenderRecord* Resolve(const std::vector<SenderRecord>& senders, std::string* error) const;

    Kind kind() const { return m_kind; }

private:
    bool Fits(const SenderRecord& s) const;

    Kind m_kind = kName;
    uint32_t m_value = 0; // the id, or the address as an in_addr value
    std::string m_text;   // the argument as given, for messages; the name for kName
};

} // namespace ctl
