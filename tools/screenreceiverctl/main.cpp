// screenreceiverctl: the box's screen-receiver service from a shell, for support staff and
// scripts. One run connects to the service (127.0.0.1:19996), carries out one command and
// ends with an exit status that tells what happened (see kUsage below).
//
// Senders are named by their service id, their IPv4 address or their exact name, never by
// a position in the list: the list can change between two runs, an id cannot name another
// sender. Built only on the installed library's public headers.
#include <ScreenReceiverStub.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <string>
#include <vector>

namespace {

enum ExitStatus {
    kSuccess = 0,
    kFailure = 1, // anything else, e.g. the system refused a thread
    kUsageError = 2,
    kUnreachable = 3,
    kNoSuchSender = 4, // not found, or the name or address fits several senders
    kRefused = 5,
    kTimeout = 6,
};

const char kUsage[] = R"(Usage: screenreceiverctl COMMAND [ARGUMENTS]

Talks to the screen-receiver service of this box (127.0.0.1:19996).

Commands:
  list [--json]         the presenting computers ("senders"): id, IP address,
                        application type, the frame each is shown in, and name
                        (--json: an object with a "senders" array)
  show SENDER [FRAME]   show SENDER in FRAME (1-127); without FRAME the receiver
                        picks one
  stop SENDER           stop showing SENDER
  leave                 leave conference control

SENDER is the sender's id, its IPv4 address or its exact name. A bare number is
taken as an id and a dotted address as an address; write id:N, ip:A.B.C.D or
name:TEXT to say which. A name or address that fits several senders is refused
and the candidates are listed. List positions are never used.

In the table, control characters, backslashes and direction controls of names are
written escaped (\xNN, \\, \u{NNNN}). The JSON is ASCII: other characters
are \u escapes, and bytes that are not UTF-8 become U+FFFD.

Exit status:
  0  success
  1  another failure (the system refused a resource)
  2  usage error
  3  service unreachable (nothing listens, or the connection was lost)
  4  sender not found, or ambiguous
  5  the service refused the command (its result code is printed)
  6  time-out (the connection was not accepted within 3 s, or no answer came
     within the command's time)
)";

const char kProgram[] = "screenreceiverctl";

int UsageError(const std::string& why) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, why.c_str(), kProgram);
    return kUsageError;
}

// A failure of the connection or of a request's transport, as an exit status with a line
// that says what happened. Engine codes and negated errno values arrive here.
int TransportFailure(const char* what, int code) {
    std::string reason;
    int status = kUnreachable;
    if (code == ORR_ERR_NO_CONNECTION) {
        reason = "the service did not accept the connection in time";
        status = kTimeout;
    } else if (code == ORR_ERR_NO_RESPONSE || code == -ETIMEDOUT) {
        reason = "no answer from the service in time";
        status = kTimeout;
    } else if (code == ORR_ERR_GRACEFUL_CLOSE) {
        reason = "the service closed the connection";
    } else if (code < 0 && code > -4096) {
        reason = std::strerror(-code);
    } else {
        reason = "error " + std::to_string(code);
    }
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, what, reason.c_str());
    return status;
}

// Whether a command's negative result comes from the transport rather than from the
// service's verdict: the service answers with result codes of the error table.
bool IsTransportCode(int code) {
    return code == ORR_ERR_NO_RESPONSE || code == ORR_ERR_GRACEFUL_CLOSE ||
           code == ORR_ERR_REENTRY || (code < 0 && code > -4096);
}

int CommandFailure(const char* what, int code) {
    if (IsTransportCode(code)) {
        return TransportFailure(what, code);
    }
    const char* format = OrrErrorHandler::FindErrorFormat(code);
    const std::string text = format != nullptr && std::strchr(format, '%') == nullptr
                                 ? std::string(format) + " "
                                 : std::string();
    std::fprintf(stderr, "%s: %s: the service refused: %s(result %d)\n", kProgram, what,
                 text.c_str(), code);
    return kRefused;
}

// The address as the program's reply shows it: the record holds an in_addr value.
std::string AddressText(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    in_addr value;
    value.s_addr = address;
    return inet_ntop(AF_INET, &value, text, sizeof(text)) ? text : "?";
}

// Length of the well-formed UTF-8 sequence at s[i] and its code point, or 0 when the
// bytes there are not one (a stray or overlong byte, a surrogate, past U+10FFFF).
size_t DecodeUtf8(const std::string& s, size_t i, uint32_t* cp) {
    const unsigned char lead = s[i];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || i + length > s.size()) {
        return 0;
    }
    uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = s[i + k];
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *cp = value;
    return length;
}

// Characters that would act on the terminal or reorder the text around them: C0 and C1
// controls, DEL, and the bidirectional marks, embeddings, overrides and isolates.
bool NeedsEscape(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E ||
           cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// A name for the table: every byte shown, nothing acting. The backslash is doubled so
// that an escape in the output always stands for one thing.
std::string EscapeName(const std::string& name) {
    std::string out;
    char buf[16];
    for (size_t i = 0; i < name.size();) {
        uint32_t cp = 0;
        const size_t length = DecodeUtf8(name, i, &cp);
        if (length == 0 || (length == 1 && NeedsEscape(cp))) {
            std::snprintf(buf, sizeof(buf), "\\x%02X", static_cast<unsigned char>(name[i]));
            out += buf;
            i += 1;
            continue;
        }
        if (NeedsEscape(cp)) {
            std::snprintf(buf, sizeof(buf), "\\u{%04X}", static_cast<unsigned>(cp));
            out += buf;
        } else if (cp == '\\') {
            out += "\\\\";
        } else {
            out.append(name, i, length);
        }
        i += length;
    }
    return out;
}

std::string FrameText(const SenderRecord& s) {
    if (s.playing() == 0) {
        return "not shown";
    }
    return s.frameNo() == SenderRecord::kNoFrame ? "shown" : std::to_string(s.frameNo());
}

void PrintTable(const std::vector<SenderRecord>& senders) {
    std::printf("%-10s %-15s %-7s %-9s %s\n", "ID", "IP", "APPTYPE", "FRAME", "NAME");
    for (const SenderRecord& s : senders) {
        std::printf("%-10u %-15s %-7u %-9s %s\n", s.id(), AddressText(s.ipAddress()).c_str(),
                    s.appType(), FrameText(s).c_str(), EscapeName(s.userName()).c_str());
    }
}

void PrintJson(const std::vector<SenderRecord>& senders) {
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
    std::printf("%s\n", doc.dump(2, ' ', true, nlohmann::json::error_handler_t::replace).c_str());
}

// What a SENDER argument names.
struct SenderRef {
    enum Kind { kId, kAddress, kName } kind = kName;
    uint32_t value = 0; // the id, or the address as an in_addr value
    std::string text;   // the argument as given, for messages; the name for kName
};

bool ParseId(const std::string& text, uint32_t* id) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long value = std::stoull(text);
    *id = static_cast<uint32_t>(value);
    return value <= 0xFFFFFFFFull;
}

bool ParseAddress(const std::string& text, uint32_t* address) {
    in_addr value;
    if (inet_pton(AF_INET, text.c_str(), &value) != 1) {
        return false;
    }
    *address = value.s_addr;
    return true;
}

// False (after the message) when the argument cannot name a sender at all.
bool ParseSender(const std::string& arg, SenderRef* ref) {
    ref->text = arg;
    const bool typed = arg.rfind("id:", 0) == 0 || arg.rfind("ip:", 0) == 0;
    const std::string rest = typed ? arg.substr(3) : arg;
    if (arg.rfind("name:", 0) == 0) {
        ref->text = arg.substr(5);
    } else if (ParseId(rest, &ref->value) && arg.rfind("ip:", 0) != 0) {
        ref->kind = SenderRef::kId;
    } else if (ParseAddress(rest, &ref->value) && arg.rfind("id:", 0) != 0) {
        ref->kind = SenderRef::kAddress;
    } else if (typed || rest.empty()) {
        UsageError("'" + EscapeName(arg) + "' is not a sender id, IPv4 address or name");
        return false;
    }
    return true;
}

// The one sender ref names; otherwise the message, and null.
const SenderRecord* FindSender(const std::vector<SenderRecord>& senders, const SenderRef& ref) {
    std::vector<const SenderRecord*> found;
    for (const SenderRecord& s : senders) {
        if ((ref.kind == SenderRef::kId && s.id() == ref.value) ||
            (ref.kind == SenderRef::kAddress && s.ipAddress() == ref.value) ||
            (ref.kind == SenderRef::kName && s.userName() == ref.text)) {
            found.push_back(&s);
        }
    }
    if (found.size() == 1) {
        return found[0];
    }
    const std::string shown = EscapeName(ref.text);
    if (found.empty()) {
        std::fprintf(stderr, "%s: no sender %s '%s'\n", kProgram,
                     ref.kind == SenderRef::kId        ? "has the id"
                     : ref.kind == SenderRef::kAddress ? "has the address"
                                                       : "is named",
                     shown.c_str());
        return nullptr;
    }
    std::fprintf(stderr, "%s: '%s' fits %zu senders; name one by its id:\n", kProgram,
                 shown.c_str(), found.size());
    for (const SenderRecord* s : found) {
        std::fprintf(stderr, "  %u  %s  %s\n", s->id(), AddressText(s->ipAddress()).c_str(),
                     EscapeName(s->userName()).c_str());
    }
    return nullptr;
}

struct Command {
    std::string name;
    bool json = false;
    SenderRef sender;
    uint8_t frame = SenderRecord::kNoFrame; // none named: the receiver picks
};

// Reads the command line into cmd; kSuccess, or the status to end with (--help: printed).
int ParseCommandLine(const std::vector<std::string>& args, Command* cmd, bool* help) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            *help = true;
            return kSuccess;
        }
    }
    if (args.empty()) {
        return UsageError("no command given");
    }
    cmd->name = args[0];
    const size_t n = args.size() - 1;
    if (cmd->name == "list") {
        cmd->json = n == 1 && args[1] == "--json";
        return n == 0 || cmd->json ? kSuccess : UsageError("list takes only --json");
    }
    if (cmd->name == "leave") {
        return n == 0 ? kSuccess : UsageError("leave takes no arguments");
    }
    if (cmd->name != "show" && cmd->name != "stop") {
        return UsageError("unknown command '" + EscapeName(cmd->name) + "'");
    }
    if (n < 1 || n > (cmd->name == "show" ? 2u : 1u)) {
        return UsageError(cmd->name == "show" ? "show takes SENDER [FRAME]" : "stop takes SENDER");
    }
    if (!ParseSender(args[1], &cmd->sender)) {
        return kUsageError;
    }
    if (n == 2) {
        uint32_t frame = 0;
        if (!ParseId(args[2], &frame) || frame < 1 || frame > 127) {
            return UsageError("FRAME is a number from 1 to 127");
        }
        cmd->frame = static_cast<uint8_t>(frame);
    }
    return kSuccess;
}

// A refused connect is adopted by the engine and shows only when the first command
// fails, after spending its send budget (5 s) on the dead socket; the socket's own state
// tells at once. Nothing is consumed: poll only looks.
int RefusedAtOnce(ScreenReceiverStub& stub) {
    if (stub.GetErrorCode() < 0) {
        return stub.GetErrorCode(); // the receive thread has already failed
    }
    pollfd p{stub.GetSocket(), 0, 0};
    const bool failed = p.fd < 0 || (::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)));
    return failed ? -ECONNREFUSED : 0;
}

int Run(const Command& cmd) {
    ScreenReceiverStub stub;
    int rc = stub.ConnectToReceiver();
    if (rc >= 0) {
        rc = RefusedAtOnce(stub);
    }
    if (rc < 0) {
        return TransportFailure("connecting to 127.0.0.1:19996", rc);
    }
    if (cmd.name == "leave") {
        rc = stub.QuitConfCtrl();
        return rc < 0 ? TransportFailure("leave", rc) : kSuccess;
    }
    std::vector<SenderRecord> senders;
    rc = stub.GetNonLocalSenderList(&senders);
    if (rc < 0) {
        return TransportFailure("list", rc);
    }
    if (cmd.name == "list") {
        cmd.json ? PrintJson(senders) : PrintTable(senders);
        return std::fflush(stdout) == 0 ? kSuccess : kFailure;
    }
    const SenderRecord* sender = FindSender(senders, cmd.sender);
    if (sender == nullptr) {
        return kNoSuchSender;
    }
    rc = cmd.name == "show" ? stub.StartPlayImage(sender->id(), cmd.frame)
                            : stub.StopPlayImage(sender->id());
    return rc < 0 ? CommandFailure(cmd.name.c_str(), rc) : kSuccess;
}

} // namespace

int main(int argc, char** argv) {
    Command cmd;
    bool help = false;
    const int status =
        ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &cmd, &help);
    if (help) {
        std::fputs(kUsage, stdout);
        return kSuccess;
    }
    if (status != kSuccess) {
        return status;
    }
    try {
        return Run(cmd);
    } catch (const std::exception& e) {
        // The thread library's resource errors are the only exceptions that reach here.
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return kFailure;
    }
}
