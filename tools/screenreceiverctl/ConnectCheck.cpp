#include "ConnectCheck.h"

#include <cerrno>
#include <poll.h>

namespace ctl {

int RefusedAtOnce(ScreenReceiverStub& stub) {
    if (stub.GetErrorCode() < 0) {
        return stub.GetErrorCode(); // the receive thread has already failed
    }
    pollfd p{stub.GetSocket(), 0, 0};
    const bool failed = p.fd < 0 || (::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)));
    return failed ? -ECONNREFUSED : 0;
}

} // namespace ctl
