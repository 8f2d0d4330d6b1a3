#include "ExitStatus.h"

#include <ScreenReceiverStub.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ctl {
namespace {

// Whether a command's negative result comes from the transport rather than from the
// service's verdict: the service answers with result codes of the error table.
bool IsTransportCode(int code) {
    return code == ORR_ERR_NO_RESPONSE || code == ORR_ERR_GRACEFUL_CLOSE ||
           code == ORR_ERR_REENTRY || (code < 0 && code > -4096);
}

} // namespace

int UsageError(const std::string& why) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, why.c_str(), kProgram);
    return kUsageError;
}

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

} // namespace ctl
