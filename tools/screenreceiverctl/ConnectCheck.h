// Whether a connection that ConnectToReceiver reported made was refused after all. The
// engine adopts a refused connect, which then shows only when the first command fails,
// after spending its send budget (5 s) on the dead socket; the socket's own state tells at
// once. Reads the stub's error code and polls its socket (nothing consumed); no locks.
#pragma once

#include <ScreenReceiverStub.h>

namespace ctl {

// 0 while the connection stands; otherwise the receive thread's error code, or
// -ECONNREFUSED when the socket is gone or reports an error or a hang-up.
int RefusedAtOnce(ScreenReceiverStub& stub);

} // namespace ctl
