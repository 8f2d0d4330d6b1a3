#include "SimOptions.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace {

// Whole-string unsigned number, decimal or 0x-prefixed hex.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    int base = 10;
    std::string digits = text;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
        if (digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') {
            return false;
        }
    }
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(digits.c_str(), &end, base);
    if (errno != 0 || end == digits.c_str() || *end != '\0' || v > max) {
        return false;
    }
    value = v;
    return true;
}

bool ParseCodeList(const std::string& text, std::set<uint8_t>& codes) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        unsigned long v = 0;
        if (!ParseNumber(item, 0xFF, v)) {
            return false;
        }
        codes.insert(static_cast<uint8_t>(v));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return true;
}

} // namespace

std::string SimOptions::Usage() {
    return "usage: receiver-sim [options]\n"
           "Stand-in for the screen-receiver service on 127.0.0.1.\n"
           "  --port N            TCP port (default 19996; 0 picks a free one)\n"
           "  --senders FILE      sender list as JSON (default: built-in sample)\n"
           "  --extended          answer lists with 128-byte entries (default)\n"
           "  --basic             answer lists with 64-byte entries\n"
           "  --ready-file PATH   write the bound port to PATH once listening\n"
           "  --state-file PATH   rewrite PATH with the JSON state after every command\n"
           "  --quiet             no per-command lines on standard error\n"
           "fault injection (CODES: comma list of request codes, hex 0x.. or decimal):\n"
           "  --junk N            N junk bytes before each answer\n"
           "  --chunk N           write answers in pieces of N bytes, ~2 ms apart\n"
           "  --unsolicited       an unrequested frame (code 0x42) before each answer\n"
           "  --delay MS          wait MS milliseconds before each answer\n"
           "  --fault-codes CODES limit --junk/--chunk/--unsolicited/--delay to these requests\n"
           "  --silent CODES      never answer these requests (they still take effect)\n"
           "  --close-mid CODES   write half the answer to these requests, then close\n"
           "  --stall CODES       write only prefix and code of these answers, then nothing\n"
           "  --no-accept         listen but never accept; connects hang\n"
           "  --help              this text\n";
}

SimOptions::ParseResult SimOptions::Parse(int argc, const char* const* argv, SimOptions& opts,
                                          std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // Fetches the option's argument or reports that it is missing.
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs an argument";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](unsigned long max, unsigned long& out) {
            std::string text;
            if (!value(text)) {
                return false;
            }
            if (!ParseNumber(text, max, out)) {
                error = "bad number for " + arg + ": '" + text + "'";
                return false;
            }
            return true;
        };
        auto codes = [&](std::set<uint8_t>& out) {
            std::string text;
            if (!value(text)) {
                return false;
            }
            if (!ParseCodeList(text, out)) {
                error = "bad code list for " + arg + ": '" + text + "'";
                return false;
            }
            return true;
        };
        unsigned long n = 0;
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            return ParseResult::Help;
        } else if (arg == "--port") {
            ok = number(65535, n);
            opts.port = static_cast<uint16_t>(n);
        } else if (arg == "--senders") {
            ok = value(opts.sendersFile);
        } else if (arg == "--extended") {
            opts.extended = true;
        } else if (arg == "--basic") {
            opts.extended = false;
        } else if (arg == "--quiet") {
            opts.quiet = true;
        } else if (arg == "--junk") {
            ok = number(1 << 20, n);
            opts.junkBytes = n;
        } else if (arg == "--chunk") {
            ok = number(1 << 20, n);
            opts.chunkBytes = n;
        } else if (arg == "--unsolicited") {
            opts.unsolicited = true;
        } else if (arg == "--delay") {
            ok = number(3600u * 1000u, n);
            opts.delayMs = static_cast<unsigned>(n);
        } else if (arg == "--fault-codes") {
            ok = codes(opts.faultCodes);
        } else if (arg == "--silent") {
            ok = codes(opts.silentCodes);
        } else if (arg == "--close-mid") {
            ok = codes(opts.closeMidCodes);
        } else if (arg == "--stall") {
            ok = codes(opts.stallCodes);
        } else if (arg == "--no-accept") {
            opts.noAccept = true;
        } else if (arg == "--ready-file") {
            ok = value(opts.readyFile);
        } else if (arg == "--state-file") {
            ok = value(opts.stateFile);
        } else {
            error = "unknown option '" + arg + "'";
            ok = false;
        }
        if (!ok) {
            return ParseResult::Error;
        }
    }
    return ParseResult::Run;
}
