// screenreceiverctl: the box's screen-receiver service from a shell, for support staff and
// scripts. One run connects to the service (127.0.0.1:19996), carries out one command and
// ends with an exit status that tells what happened (see kUsage below).
//
// Here: the command line and the run. Its parts: SenderRef (what a SENDER argument names),
// TerminalText (names made safe to print), ListOutput (the table and the JSON),
// ConnectCheck (a refused connect seen at once) and ExitStatus (how a run ends). Built
// only on the installed library's public headers.
#include "ConnectCheck.h"
#include "ExitStatus.h"
#include "ListOutput.h"
#include "PasswordCommand.h"
#include "SenderRef.h"
#include "TerminalText.h"

#include <ScreenReceiverStub.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace ctl {
namespace {

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
  password set|off      set the password of the box's page (read from standard
                        input: one line, or asked twice on a terminal), or remove
                        it; either ends every signed-in session

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
    if (cmd->name == "password") {
        return n == 1 && (args[1] == "set" || args[1] == "off")
                   ? kSuccess
                   : UsageError("password takes set or off");
    }
    if (cmd->name == "leave") {
        return n == 0 ? kSuccess : UsageError("leave takes no arguments");
    }
    if (cmd->name != "show" && cmd->name != "stop") {
        return UsageError("unknown command '" + TerminalText(cmd->name) + "'");
    }
    if (n < 1 || n > (cmd->name == "show" ? 2u : 1u)) {
        return UsageError(cmd->name == "show" ? "show takes SENDER [FRAME]" : "stop takes SENDER");
    }
    if (!cmd->sender.Parse(args[1])) {
        return UsageError("'" + TerminalText(args[1]) +
                          "' is not a sender id, IPv4 address or name");
    }
    if (n == 2) {
        uint32_t frame = 0;
        if (!ParseDecimal(args[2], &frame) || frame < 1 || frame > 127) {
            return UsageError("FRAME is a number from 1 to 127");
        }
        cmd->frame = static_cast<uint8_t>(frame);
    }
    return kSuccess;
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
        const std::string text = cmd.json ? ListJson(senders) : ListTable(senders);
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? kSuccess : kFailure;
    }
    std::string why;
    const SenderRecord* sender = cmd.sender.Resolve(senders, &why);
    if (sender == nullptr) {
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return kNoSuchSender;
    }
    rc = cmd.name == "show" ? stub.StartPlayImage(sender->id(), cmd.frame)
                            : stub.StopPlayImage(sender->id());
    return rc < 0 ? CommandFailure(cmd.name.c_str(), rc) : kSuccess;
}

} // namespace
} // namespace ctl

int main(int argc, char** argv) {
    ctl::Command cmd;
    bool help = false;
    const int status =
        ctl::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &cmd, &help);
    if (help) {
        std::fputs(ctl::kUsage, stdout);
        return ctl::kSuccess;
    }
    if (status != ctl::kSuccess) {
        return status;
    }
    try {
        if (cmd.name == "password") {
            return ctl::RunPassword(argv[2]);
        }
        return ctl::Run(cmd);
    } catch (const std::exception& e) {
        // The thread library's resource errors are the only exceptions that reach here.
        std::fprintf(stderr, "%s: %s\n", ctl::kProgram, e.what());
        return ctl::kFailure;
    }
}
