#include "EngineThread.h"

#include <atomic>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace lyx {

namespace {

const int kEnginePriority = 9;

// Set once the system refused to create a thread with SCHED_RR attributes.
std::atomic<bool> g_bRealtimeStartRefused(false);

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

// Starts an engine thread already at SCHED_RR priority 9 where the system allows it, so
// that on a busy machine it does not first wait for a time-sharing slice before it can
// raise its own priority; otherwise (no permission) it starts like any thread. The thread
// body still asks for SCHED_RR itself and logs when that is refused.
boost::thread* NewEngineThread(const boost::function<void()>& body) {
    if (!g_bRealtimeStartRefused.load(std::memory_order_relaxed)) {
        boost::thread::attributes attrs;
        pthread_attr_t* attr = attrs.native_handle();
        sched_param param;
        memset(&param, 0, sizeof(param));
        param.sched_priority = kEnginePriority;
        if (pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED) == 0 &&
            pthread_attr_setschedpolicy(attr, SCHED_RR) == 0 &&
            pthread_attr_setschedparam(attr, &param) == 0) {
            try {
                return new boost::thread(attrs, body);
            } catch (const boost::thread_resource_error&) {
                g_bRealtimeStartRefused.store(true, std::memory_order_relaxed);
            }
        }
    }
    return new boost::thread(body);
}

} // namespace lyx
