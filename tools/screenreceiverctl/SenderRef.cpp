#include "SenderRef.h"

#include "ListOutput.h"
#include "TerminalText.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace ctl {
namespace {

bool ParseAddress(const std::string& text, uint32_t* address) {
    in_addr value;
    if (inet_pton(AF_INET, text.c_str(), &value) != 1) {
        return false;
    }
    *address = value.s_addr;
    return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

bool ParseDecimal(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long wide = std::stoull(text);
    *value = static_cast<uint32_t>(wide);
    return wide <= 0xFFFFFFFFull;
}

bool SenderRef::Parse(const std::string& arg) {
    m_kind = kName;
    m_text = arg;
    const bool typed = StartsWith(arg, "id:") || StartsWith(arg, "ip:");
    const std::string rest = typed ? arg.substr(3) : arg;
    if (StartsWith(arg, "name:")) {
        m_text = arg.substr(5);
    } else if (ParseDecimal(rest, &m_value) && !StartsWith(arg, "ip:")) {
        m_kind = kId;
    } else if (ParseAddress(rest, &m_value) && !StartsWith(arg, "id:")) {
        m_kind = kAddress;
    } else if (typed || rest.empty()) {
        return false;
    }
    return true;
}

bool SenderRef::Fits(const SenderRecord& s) const {
    switch (m_kind) {
    case kId:
        return s.id() == m_value;
    case kAddress:
        return s.ipAddress() == m_value;
    case kName:
        return s.userName() == m_text;
    }
    return false;
}

const SenderRecord* SenderRef::Resolve(const std::vector<SenderRecord>& senders,
                                       std::string* error) const {
    std::vector<const SenderRecord*> found;
    for (const SenderRecord& s : senders) {
        if (Fits(s)) {
            found.push_back(&s);
        }
    }
    if (found.size() == 1) {
        return found[0];
    }
    const std::string shown = "'" + TerminalText(m_text) + "'";
    if (found.empty()) {
        *error = std::string("no sender ") +
                 (m_kind == kId        ? "has the id "
                  : m_kind == kAddress ? "has the address "
                                       : "is named ") +
                 shown;
        return nullptr;
    }
    *error = shown + " fits " + std::to_string(found.size()) + " senders; name one by its id:";
    for (const SenderRecord* s : found) {
        *error += "\n  " + std::to_string(s->id()) + "  " + AddressText(s->ipAddress()) + "  " +
                  TerminalText(s->userName());
    }
    return nullptr;
}

} // namespace ctl
