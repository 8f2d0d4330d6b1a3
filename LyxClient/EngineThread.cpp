#include "EngineThread.h"

#include <cstring>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace lyx {

namespace {

const int kEnginePriority = 9;

} // namespace

int CurrentTid() {
    return static_cast<int>(::syscall(SYS_gettid));
}

// SCHED_RR at priority 9 for thread tid; false when refused.
bool SetRealtimePriority(int tid) {
    sched_param param;
    memset(&param, 0, sizeof(param));
    param.sched_priority = kEnginePriority;
    return ::sched_setscheduler(tid, SCHED_RR, &param) == 0;
}

// Starts the thread with default attributes: the body asks for SCHED_RR itself (and logs a
// refusal), so creating it with real-time attributes as well bought nothing measurable as
// root, and without the right it cost a second thread start for every run (the refused one).
boost::thread* NewEngineThread(const boost::function<void()>& body) {
    return new boost::thread(body);
}

} // namespace lyx
