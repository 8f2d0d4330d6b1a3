// How a run of screenreceiverctl ends: its exit statuses (the usage text lists them) and,
// for each kind of failure, the one line on standard error that says what happened. The
// engine's codes and negated errno values get their meaning here and nowhere else.
// No state, no locks.
#pragma once

#include <string>

namespace ctl {

enum ExitStatus {
    kSuccess = 0,
    kFailure = 1, // anything else, e.g. the system refused a thread
    kUsageError = 2,
    kUnreachable = 3,
    kNoSuchSender = 4, // not found, or the name or address fits several senders
    kRefused = 5,
    kTimeout = 6,
};

constexpr char kProgram[] = "screenreceiverctl";

// "why" and a pointer to --help; kUsageError.
int UsageError(const std::string& why);

// A failure of the connection or of a request's transport (an engine code or a negated
// errno value): kTimeout when time ran out, otherwise kUnreachable.
int TransportFailure(const char* what, int code);

// A command's negative result: the transport's failures as above; a result code of the
// service, printed with its message when the error table has a plain one, is kRefused.
int CommandFailure(const char* what, int code);

} // namespace ctl
