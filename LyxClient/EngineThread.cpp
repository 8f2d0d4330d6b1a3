#include "EngineThread.h"

#include <cstring>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace lyx {

namespace {

const int kEnginePriority = 9;
// Each engine thread's stack. The C library's default (8 MiB, the main thread's limit)
// costs a run measurably more CPU time to map, release and tear down than a small one, and
// the threads need little (the whole test suite passes with 32 KiB stacks).
const size_t kEngineStackBytes = 512 * 1024;

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

// Starts the thread with the default scheduling: the body asks for SCHED_RR itself (and
// logs a refusal), so creating it with real-time attributes as well bought nothing
// measurable as root, and without the right it cost a second thread start for every run
// (the refused one).
boost::thread* NewEngineThread(const boost::function<void()>& body) {
    boost::thread::attributes attributes;
    attributes.set_stack_size(kEngineStackBytes);
    return new boost::thread(attributes, body);
}

} // namespace lyx
