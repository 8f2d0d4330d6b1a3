// SimOptions: the command line of receiver-sim, parsed into plain values.
// Owns nothing but its fields; no locks (parsed once on the main thread before the server
// starts). The fault options change only how answers go out, never what the model does.
#pragma once

#include <cstdint>
#include <set>
#include <string>

struct SimOptions {
    uint16_t port = 19996;
    std::string sendersFile; // empty: built-in sample senders
    bool extended = true;    // 128-byte entries (with appType) unless --basic
    bool quiet = false;      // no per-command log lines

    // Fault injection.
    std::size_t junkBytes = 0;    // junk in front of each answer
    std::size_t chunkBytes = 0;   // 0: answers go out in one write
    bool unsolicited = false;     // an unrequested frame in front of each answer
    unsigned delayMs = 0;         // wait before each answer
    std::set<uint8_t> faultCodes; // empty: junk/chunk/unsolicited/delay apply to every answer
    std::set<uint8_t> silentCodes;
    std::set<uint8_t> closeMidCodes;
    std::set<uint8_t> stallCodes;
    bool noAccept = false;

    std::string readyFile;
    std::string stateFile;

    // True when junk/chunk/unsolicited/delay apply to the answer of this request code.
    bool FaultsApplyTo(uint8_t requestCode) const {
        return faultCodes.empty() || faultCodes.count(requestCode) != 0;
    }

    enum class ParseResult { Run, Help, Error };

    // Fills opts from argv. On Error, error holds a one-line reason.
    static ParseResult Parse(int argc, const char* const* argv, SimOptions& opts,
                             std::string& error);
    static std::string Usage();
};
