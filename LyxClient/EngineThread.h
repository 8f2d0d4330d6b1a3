// Engine threads: their creation, the real-time priority each asks for, and the kernel
// id a thread logs. Plain functions; the caller owns the thread it gets.
#pragma once

#include <boost/function.hpp>
#include <boost/thread/thread.hpp>

namespace lyx {

// The kernel's id of the calling thread.
int CurrentTid();
// SCHED_RR at priority 9 for thread tid; false when the system refuses.
bool SetRealtimePriority(int tid);
// A new thread running body, on a 512 KiB stack with the default scheduling (the body
// raises its own priority with SetRealtimePriority). Throws as boost::thread does.
boost::thread* NewEngineThread(const boost::function<void()>& body);

} // namespace lyx
